#include "core/velocity/calibration.h"

#include "core/velocity/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>
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

// How fast a curve's output grows with the raw level there, before the family's floor and
// rounding.
double Slope(double exp, double vmax, double raw) {
    return exp * vmax * kTopScale * std::pow(raw / 128.0, exp) / raw;
}

// How far a key's output at a pass may stray before it counts as off: the scatter of its
// strikes carried through the curve.
double NoiseSteps(const StrikeSummary& s, double slope) {
    return std::max(kNoiseFloorSteps, s.scatter * slope);
}

// The largest factor on base that the key can follow exactly: scaling a target leaves the
// exponent alone and scales vmax by the same factor, so it is the one that brings vmax to 127.
// A key whose exponent is out of range misses by the same share at every level and sets no
// factor (0).
double Reach(const KeyCalibration& k, const PassValues& base) {
    const Law law = ThroughBoth(ToLogs(k.level, base));
    return law.expLimited ? 0.0 : kMaxVelocity / law.vmax;
}

// The factor on the keyboard's median levels that `share` of the keys can follow: the
// share-th largest reach, and no more than puts the firm target at 127. Keys that set no
// factor are short whatever the level; when they are more than the share allows, every key
// that can follow the target does.
double ScaleForShare(std::vector<double> reach, double share, double cMax) {
    std::sort(reach.begin(), reach.end(), std::greater<>());
    const double n = static_cast<double>(reach.size());
    const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(share * n - 1e-9)));
    double c = reach[std::min(rank, reach.size()) - 1];
    if (c <= 0.0) {
        const auto last = std::find(reach.begin(), reach.end(), 0.0);
        c = last == reach.begin() ? 1.0 : *(last - 1);
    }
    return std::min(c, cMax);
}

// The 95th percentile of |x| when each of the values is x ~ N(mean, sd^2), all equally
// likely: where the mixture's two-sided cumulative reaches 0.95.
double MixtureP95(const std::vector<double>& mean, const std::vector<double>& sd) {
    const auto within = [&](double x) {
        double sum = 0.0;
        for (std::size_t i = 0; i < mean.size(); ++i) {
            const double s = sd[i] * std::numbers::sqrt2;
            sum += 0.5 * (std::erf((x - mean[i]) / s) - std::erf((-x - mean[i]) / s));
        }
        return sum / static_cast<double>(mean.size());
    };
    double hi = 1.0;
    for (std::size_t i = 0; i < mean.size(); ++i)
        hi = std::max(hi, std::abs(mean[i]) + 6.0 * sd[i]);
    double lo = 0.0;
    for (int i = 0; i < 50; ++i) {
        const double mid = 0.5 * (lo + hi);
        (within(mid) < 0.95 ? lo : hi) = mid;
    }
    return hi;
}

// Takes the keys that have enough strikes and answer touch, and sets aside those far below
// the others. Returns the keys that count.
std::vector<int> SortKeys(const CalibrationRun& run, const NoteTable& current,
                          CalibrationResult& result) {
    std::vector<int> candidates;
    for (int note = kLowestKey; note <= kHighestKey; ++note) {
        KeyCalibration& k = result.keys[Index(note)];
        const NoteSetting& s = current[static_cast<std::size_t>(note)];
        k.exp = s.exp;
        k.vmax = s.vmax;
        for (Pass p : {Pass::Soft, Pass::Firm}) {
            k.strikes[Index(p)] = run.StrikeCount(note, p);
            k.summary[Index(p)] = SummariseStrikes(run.Strikes(note, p)).value_or(StrikeSummary{});
            k.level[Index(p)] = k.summary[Index(p)].level;
        }
        if (run.IsLeftOut(note) || k.strikes[0] + k.strikes[1] == 0)
            continue;
        if (!run.TakesPart(note))
            k.reason = SetAsideReason::TooFewStrikes;
        // Both 127 (a saturated key) lands here too.
        else if (k.level[1] - k.level[0] <= kNoiseFloorSteps)
            k.reason = SetAsideReason::NoTouchResponse;
        else
            candidates.push_back(note);
        if (k.reason != SetAsideReason::None)
            k.status = KeyStatus::SetAside;
    }
    if (candidates.empty())
        return candidates;

    PassValues median{};
    for (std::size_t i = 0; i < kPassCount; ++i) {
        std::vector<double> levels;
        for (int note : candidates)
            levels.push_back(result.Key(note).level[i]);
        median[i] = MedianOf(std::move(levels));
    }
    // Following the keyboard's touch response would take an exponent above kMaxFitExp when
    // the key's rise, in logs, is under a kMaxFitExp-th of the keyboard's: such a key barely
    // answers touch, and the scatter of a stuck key's strikes alone can lift it past the
    // floor above.
    const double keyboardRise = std::log(median[1] / median[0]);
    std::vector<int> counted;
    for (int note : candidates) {
        KeyCalibration& k = result.keys[Index(note)];
        k.shareOfKeyboard = std::min(k.level[0] / median[0], k.level[1] / median[1]);
        if (std::log(k.level[1] / k.level[0]) * kMaxFitExp < keyboardRise) {
            k.reason = SetAsideReason::NoTouchResponse;
            k.status = KeyStatus::SetAside;
            continue;
        }
        if (k.shareOfKeyboard < kFarBelowShare) {
            k.reason = SetAsideReason::FarBelow;
            k.takenBack = run.IsTakenBack(note);
            if (!k.takenBack) {
                k.status = KeyStatus::SetAside;
                continue;
            }
        }
        counted.push_back(note);
    }
    return counted;
}

} // namespace

std::optional<StrikeSummary> SummariseStrikes(std::span<const std::uint8_t> strikes) {
    if (strikes.empty())
        return std::nullopt;
    StrikeSummary s;
    std::vector<double> v(strikes.begin(), strikes.end());
    if (v.size() >= 3) {
        const double m = MedianOf(v);
        std::vector<double> dev;
        for (double x : v)
            dev.push_back(std::abs(x - m));
        const double limit = std::max(kOutlierFloor, kOutlierMads * MedianOf(std::move(dev)));
        s.keepLow = m - limit;
        s.keepHigh = m + limit;
        // At least half the strikes lie within one MAD of the median, so some always stay.
        s.setAside =
            static_cast<int>(std::erase_if(v, [&](double x) { return std::abs(x - m) > limit; }));
    }
    s.kept = static_cast<int>(v.size());
    s.atTop = static_cast<int>(std::count(v.begin(), v.end(), double{kMaxVelocity}));
    s.level = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    if (v.size() >= 2) {
        double squares = 0.0;
        for (double x : v)
            squares += (x - s.level) * (x - s.level);
        s.scatter = std::sqrt(squares / static_cast<double>(v.size() - 1));
    }
    return s;
}

std::optional<double> RobustLevel(std::span<const std::uint8_t> strikes) {
    if (const auto s = SummariseStrikes(strikes))
        return s->level;
    return std::nullopt;
}

bool CalibrationRun::AddStrike(int note, Pass pass, int velocity) {
    if (!IsKey(note) || velocity < 1 || velocity > kMaxVelocity)
        return false;
    keys_[Index(note)].strikes[Index(pass)].push_back(static_cast<std::uint8_t>(velocity));
    return true;
}

void CalibrationRun::ClearKey(int note) {
    if (!IsKey(note))
        return;
    for (auto& s : keys_[Index(note)].strikes)
        s.clear();
    keys_[Index(note)].takenBack = false;
}

void CalibrationRun::ClearKey(int note, Pass pass) {
    if (!IsKey(note))
        return;
    keys_[Index(note)].strikes[Index(pass)].clear();
    keys_[Index(note)].takenBack = false;
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

void CalibrationRun::SetTakenBack(int note, bool takenBack) {
    if (IsKey(note))
        keys_[Index(note)].takenBack = takenBack;
}

bool CalibrationRun::IsTakenBack(int note) const {
    return IsKey(note) && keys_[Index(note)].takenBack;
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

bool KeyCalibration::Short() const {
    return status == KeyStatus::Fitted &&
           (std::abs(after[0]) > noise[0] || std::abs(after[1]) > noise[1]);
}

double KeyCalibration::Miss() const {
    return std::max(std::abs(after[0]), std::abs(after[1]));
}

std::vector<int> CalibrationResult::ShortKeys() const {
    std::vector<int> notes;
    for (int note = kLowestKey; note <= kHighestKey; ++note)
        if (Key(note).Short())
            notes.push_back(note);
    return notes;
}

std::vector<int> CalibrationResult::SetAsideKeys() const {
    std::vector<int> notes;
    for (int note = kLowestKey; note <= kHighestKey; ++note)
        if (Key(note).status == KeyStatus::SetAside)
            notes.push_back(note);
    return notes;
}

std::vector<int> CalibrationResult::ClippedKeys() const {
    std::vector<int> notes;
    for (int note = kLowestKey; note <= kHighestKey; ++note)
        if (const KeyCalibration& k = Key(note);
            k.status == KeyStatus::Fitted && (k.summary[0].atTop > 0 || k.summary[1].atTop > 0))
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
    const std::vector<int> counted = SortKeys(run, current, result);
    if (options.target == CalibrationTarget::ReferenceKey &&
        std::find(counted.begin(), counted.end(), options.referenceKey) == counted.end()) {
        const SetAsideReason why = IsKey(options.referenceKey)
                                       ? result.Key(options.referenceKey).reason
                                       : SetAsideReason::None;
        result.error = why == SetAsideReason::NoTouchResponse || why == SetAsideReason::FarBelow
                           ? CalibrationError::ReferenceSetAside
                           : CalibrationError::ReferenceNotPlayed;
        return result;
    }
    if (counted.empty()) {
        result.error = CalibrationError::NoKeys;
        return result;
    }

    PassValues& target = result.target;
    if (options.target == CalibrationTarget::ReferenceKey) {
        target = result.Key(options.referenceKey).level;
    } else {
        // Every counted key has soft below firm, so the medians are ordered the same way.
        // Scaling the target leaves every exp alone and scales every vmax by the same factor.
        for (std::size_t i = 0; i < kPassCount; ++i) {
            std::vector<double> levels;
            for (int note : counted)
                levels.push_back(result.Key(note).level[i]);
            target[i] = MedianOf(std::move(levels));
        }
        std::vector<double> reach;
        for (int note : counted)
            reach.push_back(Reach(result.Key(note), target));
        const double share =
            std::isnan(options.reachShare)
                ? kDefaultReachShare
                : std::clamp(options.reachShare, kKeepLoudnessShare, kEveryKeyEvenShare);
        const double c = ScaleForShare(std::move(reach), share, kMaxVelocity / target[1]);
        for (double& t : target)
            t *= c;
    }

    std::array<std::vector<double>, kPassCount> sentBefore;
    std::array<std::vector<double>, kPassCount> sentAfter;
    std::array<std::vector<double>, kPassCount> sdAfter;
    std::vector<double> topBefore;
    std::vector<double> topAfter;
    for (int note : counted) {
        KeyCalibration& k = result.keys[Index(note)];
        const NoteSetting& s = current[static_cast<std::size_t>(note)];
        const Law law = FitLaw(k.level, target);
        const NoteSetting proposed = Realise(law, k.level, s);
        k.status = KeyStatus::Fitted;
        k.exp = proposed.exp;
        k.vmax = proposed.vmax;
        k.expLimited = law.expLimited;
        k.vmaxLimited = law.vmaxLimited;
        for (std::size_t i = 0; i < kPassCount; ++i) {
            const StrikeSummary& strikes = k.summary[i];
            k.sentBefore[i] = PredictOutput(k.level[i], s);
            k.sentAfter[i] = PredictOutput(k.level[i], proposed);
            k.after[i] = k.sentAfter[i] - target[i];
            const double slope = Slope(proposed.exp, proposed.vmax, k.level[i]);
            k.noise[i] = NoiseSteps(strikes, slope);
            sentBefore[i].push_back(k.sentBefore[i]);
            sentAfter[i].push_back(k.sentAfter[i]);
            // The jackknife variance of a mean is exactly scatter^2 / kept, so leaving each
            // strike out in turn needs no refit; the replayed raw velocity and the curve's
            // output are whole numbers, each adding a uniform rounding of variance 1/12.
            const double levelError = strikes.scatter * slope;
            sdAfter[i].push_back(
                std::sqrt(levelError * levelError / strikes.kept + (1.0 + slope * slope) / 12.0));
        }
        topBefore.push_back(MapVelocity(kMaxVelocity, s));
        topAfter.push_back(MapVelocity(kMaxVelocity, proposed));
    }
    result.counted = static_cast<int>(counted.size());
    result.topBefore = MedianOf(std::move(topBefore));
    result.topAfter = MedianOf(std::move(topAfter));

    std::vector<double> spreadBefore;
    std::vector<double> meanAfter;
    std::vector<double> sd;
    for (std::size_t i = 0; i < kPassCount; ++i) {
        result.levelBefore[i] = MedianOf(sentBefore[i]);
        result.levelAfter[i] = MedianOf(sentAfter[i]);
        for (std::size_t j = 0; j < counted.size(); ++j) {
            KeyCalibration& k = result.keys[Index(counted[j])];
            k.before[i] = k.sentBefore[i] - result.levelBefore[i];
            spreadBefore.push_back(std::abs(k.before[i]));
            meanAfter.push_back(sentAfter[i][j] - result.levelAfter[i]);
            sd.push_back(sdAfter[i][j]);
        }
    }
    result.spreadBefore = NearestRankP95(std::move(spreadBefore));
    result.spreadAfter = MixtureP95(meanAfter, sd);
    return result;
}

std::string SetAsideText(const KeyCalibration& key) {
    char text[128];
    switch (key.reason) {
    case SetAsideReason::None:
        return {};
    case SetAsideReason::TooFewStrikes:
        std::snprintf(text, sizeof text,
                      "strikes: %d soft, %d firm; play it at least %d times on each pass",
                      key.strikes[0], key.strikes[1], kMinStrikesPerPass);
        return text;
    case SetAsideReason::NoTouchResponse:
        std::snprintf(text, sizeof text,
                      "barely answers touch (about %.0f soft, %.0f firm): check this key",
                      key.level[0], key.level[1]);
        return text;
    case SetAsideReason::FarBelow: {
        // "About": to the nearest 5 %, as a level from a few strikes is no finer than that.
        const long percent = 5 * std::lround(key.shareOfKeyboard * 20.0);
        if (percent == 0)
            return "sends almost nothing: check this key";
        std::snprintf(text, sizeof text, "sends about %ld %% of the others: check this key",
                      percent);
        return text;
    }
    }
    return {};
}

NoteTable ApplyCalibration(NoteTable notes, const CalibrationResult& result) {
    for (int note = kLowestKey; note <= kHighestKey; ++note) {
        const KeyCalibration& k = result.Key(note);
        if (k.status != KeyStatus::Fitted)
            continue;
        NoteSetting& s = notes[static_cast<std::size_t>(note)];
        s.exp = k.exp;
        s.vmax = static_cast<std::uint8_t>(k.vmax);
    }
    return notes;
}

} // namespace velomire
