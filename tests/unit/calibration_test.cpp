#include "velocity/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace velomire {
namespace {

using Strikes = std::vector<int>;

void Play(CalibrationRun& run, int note, const Strikes& soft, const Strikes& firm) {
    for (int v : soft)
        run.AddStrike(note, Pass::Soft, v);
    for (int v : firm)
        run.AddStrike(note, Pass::Firm, v);
}

// Every key answers touch t with round(127 gain t^gamma); three strikes at 0.35 and 0.8.
CalibrationRun PowerLawKeyboard(int oddNote, double gain, double gamma) {
    CalibrationRun run;
    for (int note = kLowestKey; note <= kHighestKey; ++note)
        for (Pass p : {Pass::Soft, Pass::Firm}) {
            const double t = p == Pass::Soft ? 0.35 : 0.8;
            const double v = note == oddNote ? 127 * gain * std::pow(t, gamma) : 127 * t;
            for (int i = 0; i < 3; ++i)
                run.AddStrike(note, p, static_cast<int>(std::lround(v)));
        }
    return run;
}

TEST(CalibStrikes, OutliersDoNotMoveTheResult) {
    struct Row {
        Strikes clean, wild;
    } rows[] = {
        {{40, 41, 42, 43, 44}, {5}},         // missed
        {{40, 41, 42, 43, 44}, {12, 10}},    // two on one side shift the plain median
        {{50, 50, 50}, {59}},                // MAD 0: the 8-step floor still sets it aside
        {{96, 99, 101, 98, 100}, {30, 127}}, // one on each side
    };
    for (const Row& r : rows) {
        CalibrationRun clean = PowerLawKeyboard(0, 1, 1);
        clean.ClearKey(kLowestKey, Pass::Soft);
        Play(clean, kLowestKey, r.clean, {});
        CalibrationRun wild = clean;
        Play(wild, kLowestKey, r.wild, {});
        ASSERT_EQ(wild.StrikeCount(kLowestKey, Pass::Soft),
                  static_cast<int>(r.clean.size() + r.wild.size()));
        EXPECT_EQ(wild.Level(kLowestKey, Pass::Soft), clean.Level(kLowestKey, Pass::Soft));
    }
    // An honest strike inside the floor counts.
    const std::uint8_t near[] = {50, 50, 50, 57};
    EXPECT_EQ(RobustLevel(near), 51.75);
}

} // namespace
} // namespace velomire
