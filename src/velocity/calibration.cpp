#include "velocity/calibration.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace velomire {

namespace {

constexpr double kOutlierFloor = 8.0;
constexpr double kOutlierMads = 3.0 * 1.4826;
// The family's output with vmax 1 is (128/127) (r/128)^exp before its floor and rounding.
constexpr double kTopScale = 128.0 / kMaxVelocity;
// Only a target beyond what rounding reaches counts as out of reach.
constexpr double kVmaxSlack = 0.5;

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

double NearestRankP95(std::vector<double> v) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

using PassValues = std::array<double, kPassCount>;

// A curve of the family as real numbers, before vmax is rounded.
struct Law {
    double exp = 1.0;
    double vmax = kMaxVelocity;
    bool expLimited = false;
    bool vmaxLimited = false;
};

// In logs the family is a line, ln out = ln(vmax (128/127)) + exp ln(r/128); x and y are
// the two passes in those coordinates. r <= 127 < 128 keeps every x negative.
struct LogPoints {
    PassValues x{};
    PassValues y{};
};

LogPoints ToLogs(const PassValues& raw, const PassValues& target) {
    LogPoints p;
    for (std::size_t i = 0; i < kPassCount; ++i) {
        p.x[i] = std::log(raw[i] / 128.0);
        p.y[i] = std::log(target[i] / kTopScale);
    }
    return p;
}

// Through both points, or with exp held at a limit and vmax fitting both in the log sense.
// vmax is left unbounded: the strongest target is found by scaling it.
Law ThroughBoth(const LogPoints& p) {
    Law law;
    law.exp = (p.y[0] - p.y[1]) / (p.x[0] - p.x[1]);
    if (!(law.exp >= kMinFitExp && law.exp <= kMaxFitExp)) {
        law.exp = std::clamp(law.exp, kMinFitExp, kMaxFitExp);
        law.expLimited = true;
    }
    law.vmax = std::exp(0.5 * ((p.y[0] - law.exp * p.x[0]) + (p.y[1] - law.exp * p.x[1])));
    return law;
}

// With vmax held, the exp that minimises the squared log error over both passes.
double ExpForVmax(const LogPoints& p, double vmax) {
    const double lv = std::log(vmax);
    const double num = p.x[0] * (p.y[0] - lv) + p.x[1] * (p.y[1] - lv);
    return num / (p.x[0] * p.x[0] + p.x[1] * p.x[1]);
}

Law FitLaw(const PassValues& raw, const PassValues& target) {
    const LogPoints p = ToLogs(raw, target);
    Law law = ThroughBoth(p);
    const bool tooHigh = law.vmax > kMaxVelocity + kVmaxSlack;
    const bool tooLow = law.vmax < 1.0 - kVmaxSlack;
    if (tooHigh || tooLow) {
        law.vmax = tooHigh ? kMaxVelocity : 1.0;
        law.vmaxLimited = true;
        law.exp = ExpForVmax(p, law.vmax);
        law.expLimited = !(law.exp >= kMinFitExp && law.exp <= kMaxFitExp);
        law.exp = std::clamp(law.exp, kMinFitExp, kMaxFitExp);
    }
    law.vmax = std::clamp(law.vmax, 1.0, static_cast<double>(kMaxVelocity));
    return law;
}

// The law's floor and rounding lose about half a step and vmax is an integer: of the curves
// near it, the one whose actual outputs over the played range come closest to the law.
// Candidates closer to the law come first and win ties.
NoteSetting Realise(const Law& law, const PassValues& raw, NoteSetting s) {
    constexpr int kVmaxSteps[] = {0, -1, 1, -2, 2};
    constexpr int kExpSteps[] = {0, -1, 1, -2, 2, -3, 3};
    constexpr double kExpStep = 0.005; // relative; a few of them move the top by a step or two
    const int lo = static_cast<int>(std::ceil(raw[0]));
    const int hi = std::max(lo, static_cast<int>(std::floor(raw[1])));
    std::vector<double> want;
    for (int r = lo; r <= hi; ++r)
        want.push_back(law.vmax * kTopScale * std::pow(r / 128.0, law.exp));
    const long vmax0 = std::lround(law.vmax);
    double best = std::numeric_limits<double>::infinity();
    NoteSetting chosen = s;
    for (int j : kExpSteps) {
        const double exp = law.exp * (1.0 + kExpStep * j);
        if (j != 0 && (exp < kMinFitExp || exp > kMaxFitExp))
            continue;
        for (int dv : kVmaxSteps) {
            const long vmax = vmax0 + dv;
            if (vmax < 1 || vmax > kMaxVelocity)
                continue;
            double err = 0.0;
            for (int r = lo; r <= hi; ++r) {
                const double d = MapVelocity(r, exp, s.vcut, static_cast<int>(vmax)) -
                                 want[static_cast<std::size_t>(r - lo)];
                err += d * d;
            }
            if (err < best - 1e-9) {
                best = err;
                chosen.exp = exp;
                chosen.vmax = static_cast<std::uint8_t>(vmax);
            }
        }
    }
    return chosen;
}

PassValues Deviations(const PassValues& raw, const PassValues& target, const NoteSetting& s) {
    PassValues d{};
    for (std::size_t i = 0; i < kPassCount; ++i)
        d[i] = PredictOutput(raw[i], s) - target[i];
    return d;
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

std::vector<int> CalibrationResult::UnreachedKeys() const {
    std::vector<int> notes;
    for (int note = kLowestKey; note <= kHighestKey; ++note)
        if (Key(note).outcome == KeyOutcome::Fitted && !Key(note).Reached())
            notes.push_back(note);
    return notes;
}

double PredictOutput(double raw, const NoteSetting& s) {
    const double lo = std::floor(raw);
    const double frac = raw - lo;
    const auto at = [&](double r) {
        return static_cast<double>(MapVelocity(static_cast<int>(r), s));
    };
    return frac == 0.0 ? at(lo) : at(lo) + frac * (at(lo + 1.0) - at(lo));
}

CalibrationResult FitCalibration(const CalibrationRun& run, const NoteTable& current,
                                 const CalibrationOptions& options) {
    CalibrationResult result;
    std::vector<int> responsive;
    for (int note = kLowestKey; note <= kHighestKey; ++note) {
        KeyCalibration& k = result.keys[Index(note)];
        const NoteSetting& s = current[static_cast<std::size_t>(note)];
        k.exp = s.exp;
        k.vmax = s.vmax;
        for (Pass p : {Pass::Soft, Pass::Firm})
            k.level[Index(p)] = run.Level(note, p).value_or(0.0);
        if (!run.TakesPart(note))
            continue;
        // Both 127 (a saturated key) lands here too.
        if (k.level[0] < k.level[1])
            responsive.push_back(note);
        else
            k.outcome = KeyOutcome::NoTouchResponse;
    }
    if (responsive.empty()) {
        result.error = CalibrationError::NoKeys;
        return result;
    }

    PassValues& target = result.target;
    if (options.target == CalibrationTarget::ReferenceKey) {
        if (std::find(responsive.begin(), responsive.end(), options.referenceKey) ==
            responsive.end()) {
            result.error = CalibrationError::ReferenceNotPlayed;
            return result;
        }
        target = result.Key(options.referenceKey).level;
    } else {
        // Every responsive key has soft below firm, so the medians are ordered the same way.
        for (std::size_t i = 0; i < kPassCount; ++i) {
            std::vector<double> levels;
            for (int note : responsive)
                levels.push_back(result.Key(note).level[i]);
            target[i] = MedianOf(std::move(levels));
        }
    }
    if (options.target == CalibrationTarget::Strongest) {
        // Scaling the target leaves every exp alone and scales every vmax by the same factor,
        // so the largest factor is set by the key needing the largest vmax. A key whose exp
        // is out of range stays uneven anyway and would only take range from all the others.
        double scale = kMaxVelocity / target[1];
        for (int note : responsive) {
            const Law law = ThroughBoth(ToLogs(result.Key(note).level, target));
            if (!law.expLimited)
                scale = std::min(scale, kMaxVelocity / law.vmax);
        }
        for (double& t : target)
            t *= scale;
    }

    std::vector<double> before;
    std::vector<double> after;
    for (int note = kLowestKey; note <= kHighestKey; ++note) {
        KeyCalibration& k = result.keys[Index(note)];
        if (!run.TakesPart(note))
            continue;
        const NoteSetting& s = current[static_cast<std::size_t>(note)];
        NoteSetting proposed = s;
        if (k.outcome != KeyOutcome::NoTouchResponse) {
            const Law law = FitLaw(k.level, target);
            proposed = Realise(law, k.level, s);
            k.outcome = KeyOutcome::Fitted;
            k.exp = proposed.exp;
            k.vmax = proposed.vmax;
            k.expLimited = law.expLimited;
            k.vmaxLimited = law.vmaxLimited;
        }
        k.before = Deviations(k.level, target, s);
        k.after = Deviations(k.level, target, proposed);
        for (std::size_t i = 0; i < kPassCount; ++i) {
            before.push_back(std::abs(k.before[i]));
            after.push_back(std::abs(k.after[i]));
        }
    }
    result.spreadBefore = NearestRankP95(std::move(before));
    result.spreadAfter = NearestRankP95(std::move(after));
    return result;
}

NoteTable ApplyCalibration(NoteTable notes, const CalibrationResult& result) {
    for (int note = kLowestKey; note <= kHighestKey; ++note) {
        const KeyCalibration& k = result.Key(note);
        if (k.outcome != KeyOutcome::Fitted)
            continue;
        NoteSetting& s = notes[static_cast<std::size_t>(note)];
        s.exp = k.exp;
        s.vmax = static_cast<std::uint8_t>(k.vmax);
    }
    return notes;
}

} // namespace velomire
