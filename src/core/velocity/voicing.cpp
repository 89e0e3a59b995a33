#include "core/velocity/voicing.h"

#include "core/velocity/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

namespace velomire {

namespace {

// Correction exponents tried: a log grid from a quarter to four, fine enough that the next
// step moves a key's loudness by well under the tolerance.
constexpr double kMinCorrectionExp = 0.25;
constexpr double kMaxCorrectionExp = 4.0;
constexpr int kExpSteps = 320;

double Quantile(std::vector<double> v, double q) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const double pos = std::clamp(q, 0.0, 1.0) * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (pos - static_cast<double>(lo)) * (v[hi] - v[lo]);
}

// Velocities halfway between the voiced ones, where only the fitted curve speaks for a key.
std::vector<int> Between(const std::vector<int>& voiced) {
    std::vector<int> mid;
    for (std::size_t i = 1; i < voiced.size(); ++i) {
        const int m = (voiced[i - 1] + voiced[i]) / 2;
        if (m != voiced[i - 1] && m != voiced[i])
            mid.push_back(m);
    }
    return mid;
}

struct Fit {
    double exp = 1.0;
    int vmax = kMaxVelocity;
    double cost = std::numeric_limits<double>::infinity();
};

// Sum of squared misses of a key's loudness through a correction, or infinity where the
// correction would silence a voiced velocity.
double Cost(const LoudnessCurve& curve, const std::vector<int>& velocities,
            const std::vector<double>& target, double exp, int vmax, double* meanMiss) {
    double sum = 0.0;
    double signedSum = 0.0;
    for (std::size_t i = 0; i < velocities.size(); ++i) {
        const int sent = MapVelocity(velocities[i], exp, 0, vmax);
        if (sent == 0)
            return std::numeric_limits<double>::infinity();
        const double miss = curve.At(sent) - target[i];
        sum += miss * miss;
        signedSum += miss;
    }
    if (meanMiss)
        *meanMiss = signedSum / static_cast<double>(velocities.size());
    return sum;
}

// For each exponent the maximum is found by bisection on the mean miss (louder with a larger
// maximum), then its neighbours are tried: the curve's rounding makes the cost uneven there.
Fit FitKey(const LoudnessCurve& curve, const std::vector<int>& velocities,
           const std::vector<double>& target) {
    Fit best;
    const double logLo = std::log(kMinCorrectionExp);
    const double logHi = std::log(kMaxCorrectionExp);
    for (int s = 0; s <= kExpSteps; ++s) {
        const double exp = std::exp(logLo + (logHi - logLo) * s / kExpSteps);
        int lo = 1;
        int hi = kMaxVelocity;
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            double mean = 0.0;
            const double c = Cost(curve, velocities, target, exp, mid, &mean);
            if (std::isinf(c) || mean < 0.0)
                lo = mid + 1;
            else
                hi = mid;
        }
        for (int vmax = std::max(1, lo - 2); vmax <= std::min(kMaxVelocity, lo + 2); ++vmax) {
            const double c = Cost(curve, velocities, target, exp, vmax, nullptr);
            // Ties go to the gentler correction (exponent nearer 1, then the higher maximum).
            const bool better =
                c < best.cost - 1e-12 ||
                (c < best.cost + 1e-12 && std::abs(std::log(exp)) < std::abs(std::log(best.exp)));
            if (better)
                best = {exp, vmax, c};
        }
    }
    return best;
}

// p95 over keys and velocities of how far each key is from the keys' median.
double Spread(const std::vector<std::vector<double>>& perVelocity) {
    std::vector<double> deviations;
    for (const auto& levels : perVelocity) {
        const double median = MedianOf(levels);
        for (const double l : levels)
            deviations.push_back(std::abs(l - median));
    }
    return NearestRankP95(std::move(deviations));
}

} // namespace

LoudnessCurve::LoudnessCurve(const LoudnessTable& heard, int key) {
    for (int i = 0; i < heard.VelocityCount(); ++i) {
        const std::optional<double> l = heard.At(key, i);
        if (!l || !heard.Sounded(key, i))
            return;
        x_.push_back(
            std::log(static_cast<double>(heard.Velocities()[static_cast<std::size_t>(i)])));
        y_.push_back(*l);
    }
    valid_ = x_.size() >= 2;
}

double LoudnessCurve::At(double velocity) const {
    if (!valid_)
        return LoudnessTable::kSilent;
    const double x = std::log(std::max(velocity, 1.0));
    std::size_t i = 1;
    while (i + 1 < x_.size() && x > x_[i])
        ++i;
    const double t = (x - x_[i - 1]) / (x_[i] - x_[i - 1]);
    return y_[i - 1] + t * (y_[i] - y_[i - 1]);
}

bool KeyVoicing::Short() const {
    return status == VoicingStatus::Fitted && Shortfall() > kVoicingToleranceLu;
}

double KeyVoicing::Shortfall() const {
    double worst = 0.0;
    for (const double a : after)
        worst = std::max(worst, -a);
    return worst;
}

std::vector<int> VoicingResult::ShortKeys() const {
    std::vector<int> out;
    for (int k = 0; k < 128; ++k)
        if (keys[static_cast<std::size_t>(k)].Short())
            out.push_back(k);
    return out;
}

std::vector<int> VoicingResult::SetAsideKeys() const {
    std::vector<int> out;
    for (int k = 0; k < 128; ++k)
        if (keys[static_cast<std::size_t>(k)].status == VoicingStatus::SetAside)
            out.push_back(k);
    return out;
}

NoteSetting ComposeCurves(const NoteSetting& first, double exp, int vmax) {
    NoteSetting out = first;
    const double firstExp = std::isfinite(first.exp) && first.exp > 0.0 ? first.exp : 1.0;
    const int firstVmax = std::min<int>(first.vmax, kMaxVelocity);
    out.exp = firstExp * exp;
    // The first curve's top is the second's input: its share of the range, through the
    // second, scales the second's maximum.
    const double top = vmax * std::pow(firstVmax / static_cast<double>(kMaxVelocity), exp);
    out.vmax = firstVmax == 0 ? 0
                              : static_cast<std::uint8_t>(std::clamp(
                                    static_cast<int>(std::lround(top)), 1, kMaxVelocity));
    return out;
}

NoteTable ApplyVoicing(NoteTable notes, const VoicingResult& result) {
    if (!result.ok)
        return notes;
    for (int k = 0; k < 128; ++k) {
        const KeyVoicing& v = result.keys[static_cast<std::size_t>(k)];
        // Composed with the curve the key has now: an edit since the fit is kept under it.
        if (v.status == VoicingStatus::Fitted) {
            NoteSetting& n = notes[static_cast<std::size_t>(k)];
            n = ComposeCurves(n, v.correctionExp, v.correctionVmax);
        }
    }
    return notes;
}

std::string VoicingSetAsideText(const KeyVoicing& key) {
    if (key.status != VoicingStatus::SetAside)
        return {};
    switch (key.reason) {
    case VoicingSetAside::Silent:
        return "gave no sound at some velocity";
    case VoicingSetAside::NoResponse:
        return "is not louder when played harder";
    case VoicingSetAside::FarBelow: {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f LU under the others at the top", key.belowTopLu);
        return text;
    }
    case VoicingSetAside::NotPlayable:
        return "its curve sends nothing";
    case VoicingSetAside::None:
        break;
    }
    return {};
}

VoicingResult FitVoicing(const LoudnessTable& heard, const NoteTable& current,
                         const VoicingOptions& options) {
    VoicingResult r;
    r.velocities = heard.Velocities();
    const std::size_t nv = r.velocities.size();
    if (nv < 2)
        return r;
    const double share =
        std::clamp(options.reachShare, kVoicingKeepLoudnessShare, kVoicingEveryKeyEvenShare);

    // Which keys can take part.
    std::array<std::optional<LoudnessCurve>, 128> curves;
    std::vector<int> candidates;
    for (const int k : heard.Keys()) {
        KeyVoicing& v = r.keys[static_cast<std::size_t>(k)];
        v.status = VoicingStatus::SetAside;
        LoudnessCurve curve(heard, k);
        if (!curve.Valid()) {
            v.reason = VoicingSetAside::Silent;
            continue;
        }
        if (current[static_cast<std::size_t>(k)].vmax == 0) {
            v.reason = VoicingSetAside::NotPlayable;
            continue;
        }
        const double rise = *heard.At(k, static_cast<int>(nv) - 1) - *heard.At(k, 0);
        if (rise < kMinVelocityResponseLu) {
            v.reason = VoicingSetAside::NoResponse;
            continue;
        }
        curves[static_cast<std::size_t>(k)] = std::move(curve);
        candidates.push_back(k);
    }

    // A key far under the others at the top would pull every key down to it.
    const auto top = [&](int k) { return *heard.At(k, static_cast<int>(nv) - 1); };
    std::vector<double> tops;
    for (const int k : candidates)
        tops.push_back(top(k));
    const double medianTop = MedianOf(tops);
    std::vector<int> counted;
    for (const int k : candidates) {
        KeyVoicing& v = r.keys[static_cast<std::size_t>(k)];
        v.belowTopLu = medianTop - top(k);
        v.takenBack = options.takenBack.test(static_cast<std::size_t>(k));
        if (v.belowTopLu > kVoicingFarBelowLu && !v.takenBack) {
            v.reason = VoicingSetAside::FarBelow;
            continue;
        }
        counted.push_back(k);
    }
    r.counted = static_cast<int>(counted.size());
    if (counted.empty())
        return r;

    // The keyboard's loudness curve, lowered as far as the share of keys that must follow
    // it at the top needs.
    std::vector<double> countedTops;
    for (const int k : counted)
        countedTops.push_back(top(k));
    const double lowering =
        std::max(0.0, MedianOf(countedTops) - Quantile(countedTops, 1.0 - share));
    for (std::size_t i = 0; i < nv; ++i) {
        std::vector<double> levels;
        for (const int k : counted)
            levels.push_back(*heard.At(k, static_cast<int>(i)));
        r.levelBefore.push_back(MedianOf(levels));
        r.target.push_back(r.levelBefore.back() - lowering);
    }

    const std::vector<int> between = Between(r.velocities);
    std::vector<std::vector<double>> before(nv), after(nv);
    std::vector<std::vector<double>> betweenBefore(between.size()), betweenAfter(between.size());
    for (const int k : counted) {
        const LoudnessCurve& curve = *curves[static_cast<std::size_t>(k)];
        const Fit fit = FitKey(curve, r.velocities, r.target);
        KeyVoicing& v = r.keys[static_cast<std::size_t>(k)];
        v.status = VoicingStatus::Fitted;
        v.reason = VoicingSetAside::None;
        v.correctionExp = fit.exp;
        v.correctionVmax = fit.vmax;
        const NoteSetting composed =
            ComposeCurves(current[static_cast<std::size_t>(k)], fit.exp, fit.vmax);
        v.exp = composed.exp;
        v.vmax = composed.vmax;
        for (std::size_t i = 0; i < nv; ++i) {
            const double heardHere = *heard.At(k, static_cast<int>(i));
            const double reached = curve.At(MapVelocity(r.velocities[i], fit.exp, 0, fit.vmax));
            v.before.push_back(heardHere - r.levelBefore[i]);
            v.after.push_back(reached - r.target[i]);
            before[i].push_back(heardHere);
            after[i].push_back(reached);
        }
        for (std::size_t i = 0; i < between.size(); ++i) {
            betweenBefore[i].push_back(curve.At(between[i]));
            betweenAfter[i].push_back(curve.At(MapVelocity(between[i], fit.exp, 0, fit.vmax)));
        }
    }
    for (const auto& levels : after)
        r.levelAfter.push_back(MedianOf(levels));
    r.spreadBefore = Spread(before);
    r.spreadAfter = Spread(after);
    r.spreadBetweenBefore = Spread(betweenBefore);
    r.spreadBetweenAfter = Spread(betweenAfter);
    r.ok = true;
    return r;
}

} // namespace velomire
