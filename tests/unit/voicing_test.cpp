#include "core/velocity/voicing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace velomire {
namespace {

// A synth whose loudness is the key's gain plus a velocity law (level ~ velocity squared).
using Synth = std::function<double(int key, int velocity)>;

double Law(int velocity) {
    return 40.0 * std::log10(velocity / 127.0);
}

LoudnessTable Measure(const Synth& synth, int first, int last, const NoteTable& sent,
                      const std::vector<int>& velocities = {32, 64, 96, 127}) {
    LoudnessTable t(velocities);
    for (int k = first; k <= last; ++k)
        for (int i = 0; i < t.VelocityCount(); ++i) {
            const int v = MapVelocity(t.Velocities()[static_cast<std::size_t>(i)],
                                      sent[static_cast<std::size_t>(k)]);
            t.Set(k, i, v == 0 ? LoudnessTable::kSilent : synth(k, v));
        }
    return t;
}

NoteTable Straight() {
    NoteTable t{};
    for (int k = 0; k < kNoteTableSize; ++k)
        t[static_cast<std::size_t>(k)] = {static_cast<std::uint8_t>(k & 0x7F), kFalse, 1.0, 0, 127};
    return t;
}

double Spread(const LoudnessTable& t, int first, int last) {
    double worst = 0.0;
    for (int i = 0; i < t.VelocityCount(); ++i) {
        double lo = 1e9, hi = -1e9;
        for (int k = first; k <= last; ++k) {
            lo = std::min(lo, *t.At(k, i));
            hi = std::max(hi, *t.At(k, i));
        }
        worst = std::max(worst, hi - lo);
    }
    return worst;
}

// Voicing an uneven synth over an octave and measuring again through the applied curves: at
// "every key even" the keys land within a tolerance at every voiced velocity, also when the
// keys already carry calibrated curves of both bends; at "keep the loudness" the loud keys
// come down to the median and the soft ones are named short by their gap.
TEST(VoicingTest, MeasuringAgainAfterApplyFindsTheKeysEven) {
    const auto gain = [](int k) { return -20.0 + 3.0 * std::sin(k * 1.7) + (k == 64 ? -6 : 0); };
    const Synth synth = [&](int k, int v) { return gain(k) + Law(v); };
    struct Row {
        const char* what;
        double share;
        double calibratedExp;
        int calibratedVmax;
    };
    for (const Row& row :
         {Row{"straight keys", 1.0, 1.0, 127}, Row{"calibrated soft", 1.0, 0.6, 110},
          Row{"calibrated hard", 1.0, 1.8, 127}, Row{"keep loudness", 0.5, 1.0, 127}}) {
        SCOPED_TRACE(row.what);
        NoteTable current = Straight();
        for (int k = 60; k <= 71; ++k) {
            current[static_cast<std::size_t>(k)].exp = row.calibratedExp;
            current[static_cast<std::size_t>(k)].vmax =
                static_cast<std::uint8_t>(row.calibratedVmax);
        }
        // The run plays the synth directly: the curves are not in the way.
        const LoudnessTable heard = Measure(synth, 60, 71, Straight());
        VoicingOptions options;
        options.reachShare = row.share;
        const VoicingResult r = FitVoicing(heard, current, options);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.counted, 12);
        EXPECT_GT(r.spreadBefore, 3.0);

        // What the player now hears: the calibrated curve's output through the synth, before
        // and after, measured at what the calibrated curve sends for each voiced velocity.
        const NoteTable voiced = ApplyVoicing(current, r);
        NoteTable correction = Straight();
        for (int k = 60; k <= 71; ++k) {
            correction[static_cast<std::size_t>(k)].exp =
                r.keys[static_cast<std::size_t>(k)].correctionExp;
            correction[static_cast<std::size_t>(k)].vmax =
                static_cast<std::uint8_t>(r.keys[static_cast<std::size_t>(k)].correctionVmax);
        }
        const LoudnessTable again = Measure(synth, 60, 71, correction);
        if (row.share == 1.0) {
            EXPECT_TRUE(r.ShortKeys().empty());
            EXPECT_LT(r.spreadAfter, 0.5);
            EXPECT_LT(Spread(again, 60, 71), 1.0);
            // The quietest key sets the level at the top.
            EXPECT_NEAR(r.target.back(), gain(64), 0.3);
        } else {
            EXPECT_NEAR(r.target.back(), r.levelBefore.back(), 1e-9);
            for (int k = 60; k <= 71; ++k) {
                const KeyVoicing& v = r.keys[static_cast<std::size_t>(k)];
                EXPECT_EQ(v.Short(), v.before.back() < -kVoicingToleranceLu) << k;
                if (v.Short()) {
                    EXPECT_NEAR(v.Shortfall(), -v.before.back(), 0.5) << k;
                }
            }
        }
        // The composed curve plays as the two in a row, give or take the rounding.
        for (int k = 60; k <= 71; ++k)
            for (int v = 1; v <= 127; ++v) {
                const int twoCurves =
                    MapVelocity(MapVelocity(v, current[static_cast<std::size_t>(k)]),
                                correction[static_cast<std::size_t>(k)]);
                ASSERT_NEAR(MapVelocity(v, voiced[static_cast<std::size_t>(k)]), twoCurves, 2)
                    << "key " << k << " velocity " << v;
            }
    }
}

// Keys that cannot be voiced are set aside with their reason and left as they were; a key far
// below is counted again when the player takes it back.
TEST(VoicingTest, KeysThatCannotBeVoicedAreSetAsideAndLeftAlone) {
    NoteTable current = Straight();
    current[65].vmax = 0;
    const Synth synth = [](int k, int v) {
        if (k == 62)
            return -20.0; // the same whatever the velocity
        return (k == 63 ? -50.0 : -20.0 + (k % 3)) + Law(v);
    };
    LoudnessTable heard = Measure(synth, 60, 67, Straight());
    heard.Set(61, 0, LoudnessTable::kSilent);
    const VoicingResult r = FitVoicing(heard, current);
    ASSERT_TRUE(r.ok);
    const struct {
        int key;
        VoicingSetAside reason;
    } expected[] = {{61, VoicingSetAside::Silent},
                    {62, VoicingSetAside::NoResponse},
                    {63, VoicingSetAside::FarBelow},
                    {65, VoicingSetAside::NotPlayable}};
    EXPECT_EQ(r.SetAsideKeys(), (std::vector<int>{61, 62, 63, 65}));
    for (const auto& e : expected) {
        EXPECT_EQ(r.keys[static_cast<std::size_t>(e.key)].reason, e.reason) << e.key;
        EXPECT_FALSE(VoicingSetAsideText(r.keys[static_cast<std::size_t>(e.key)]).empty());
    }
    EXPECT_EQ(r.counted, 4);
    const NoteTable applied = ApplyVoicing(current, r);
    for (const int k : r.SetAsideKeys())
        EXPECT_EQ(applied[static_cast<std::size_t>(k)], current[static_cast<std::size_t>(k)]) << k;

    VoicingOptions takeBack;
    takeBack.takenBack.set(63);
    takeBack.reachShare = 1.0;
    const VoicingResult back = FitVoicing(heard, current, takeBack);
    EXPECT_EQ(back.keys[63].status, VoicingStatus::Fitted);
    EXPECT_EQ(back.counted, 5);
    // Every other key comes down towards it; the curve's reach limits how far.
    EXPECT_LT(back.target.back(), r.target.back() - 20.0);

    EXPECT_FALSE(FitVoicing(LoudnessTable({64}), current).ok); // one velocity says no curve
    EXPECT_FALSE(FitVoicing(LoudnessTable({32, 127}), current).ok);
}

} // namespace
} // namespace velomire
