#include "velocity/calibration.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace velomire {

namespace {

constexpr double kOutlierFloor = 8.0;
constexpr double kOutlierMads = 3.0 * 1.4826;

constexpr std::size_t Index(int note) {
    return static_cast<std::size_t>(note - kLowestKey);
}
constexpr std::size_t Index(Pass p) {
    return static_cast<std::size_t>(p);
}

double MedianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

} // namespace

std::optional<double> RobustLevel(std::span<const std::uint8_t> strikes) {
    if (strikes.empty())
        return std::nullopt;
    std::vector<double> v(strikes.begin(), strikes.end());
    if (v.size() >= 3) {
        const double m = MedianOf(v);
        std::vector<double> dev;
        for (double x : v)
            dev.push_back(std::abs(x - m));
        const double limit = std::max(kOutlierFloor, kOutlierMads * MedianOf(std::move(dev)));
        // At least half the strikes lie within one MAD of the median, so some always stay.
        std::erase_if(v, [&](double x) { return std::abs(x - m) > limit; });
    }
    return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

bool CalibrationRun::AddStrike(int note, Pass pass, int velocity) {
    if (!IsKey(note) || velocity < 1 || velocity > kMaxVelocity)
        return false;
    keys_[Index(note)].strikes[Index(pass)].push_back(static_cast<std::uint8_t>(velocity));
    return true;
}

void CalibrationRun::ClearKey(int note) {
    if (IsKey(note))
        for (auto& s : keys_[Index(note)].strikes)
            s.clear();
}

void CalibrationRun::ClearKey(int note, Pass pass) {
    if (IsKey(note))
        keys_[Index(note)].strikes[Index(pass)].clear();
}

void CalibrationRun::ClearAll() {
    keys_ = {};
}

void CalibrationRun::SetLeftOut(int note, bool leftOut) {
    if (IsKey(note))
        keys_[Index(note)].leftOut = leftOut;
}

bool CalibrationRun::IsLeftOut(int note) const {
    return IsKey(note) && keys_[Index(note)].leftOut;
}

std::span<const std::uint8_t> CalibrationRun::Strikes(int note, Pass pass) const {
    if (!IsKey(note))
        return {};
    return keys_[Index(note)].strikes[Index(pass)];
}

int CalibrationRun::StrikeCount(int note, Pass pass) const {
    return static_cast<int>(Strikes(note, pass).size());
}

std::optional<double> CalibrationRun::Level(int note, Pass pass) const {
    return RobustLevel(Strikes(note, pass));
}

bool CalibrationRun::TakesPart(int note) const {
    return IsKey(note) && !IsLeftOut(note) && StrikeCount(note, Pass::Soft) >= kMinStrikesPerPass &&
           StrikeCount(note, Pass::Firm) >= kMinStrikesPerPass;
}

} // namespace velomire
