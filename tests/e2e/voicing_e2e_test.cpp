// Voicing through a private JACK server: Velomire measures a test synth whose keys are
// uneven, fits a correction per key, applies it after the keys' calibrated curves, and a run
// played through the corrections finds the keys even.

#include "core/midi/rtmidi_backend.h"
#include "core/velocity/statistics.h"
#include "core/velocity/voicing.h"
#include "e2e/jack_harness.h"
#include "e2e/test_synth.h"
#include "session/listening.h"
#include "session/session.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <thread>

namespace velomire::e2e {
namespace {

constexpr double kLevelsDb[12] = {0, -3, -6, 2, -1, -9, -4, 1, -2, -7, -5, 3};
constexpr int kLow = 60;

// Runs the event loop until the run ends; true when it was complete.
bool Measure(Listening& l, std::function<int(int, int)> map = {}) {
    MeasuringPlan plan;
    plan.lowKey = kLow;
    plan.highKey = kLow + 11;
    plan.velocities = {64, 127};
    plan.noteSeconds = 0.45;
    plan.releaseSeconds = 0.08;
    plan.quietSeconds = 0.2;
    std::optional<bool> complete;
    const auto c = QObject::connect(&l, &Listening::Finished,
                                    [&](bool done, const QString&) { complete = done; });
    const bool started = l.Start(plan, std::move(map)).isEmpty();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (started && !complete && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    QObject::disconnect(c);
    return complete.value_or(false);
}

TEST(VoicingRun, AnUnevenSynthIsVoicedEvenAfterTheKeysCalibratedCurvesAndUndoIsExact) {
    ExtendWatchdog(std::chrono::seconds(45)); // two runs of an octave at two velocities
    JackServer server;
    TestSynth synth("voiced-synth");
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    for (int i = 0; i < 12; ++i)
        synth.SetGain(kLow + i, 0.3 * std::pow(10.0, kLevelsDb[i] / 20.0));
    ASSERT_TRUE(synth.Open(error)) << error;
    MidiSystemChoice midi = ChooseMidiSystem(MidiApiChoice::Jack);
    ASSERT_TRUE(midi.available) << midi.status;
    QTemporaryDir folder;
    Session session(*midi.system, SettingsStore(folder.path()));
    ASSERT_TRUE(session.ChooseOutput(synth.MidiInName()));
    // A calibrated keyboard: curves of both bends under the voicing.
    SessionState calibrated = session.State();
    for (int k = kLow; k < kLow + 12; ++k) {
        calibrated.notes[static_cast<std::size_t>(k)].exp = k % 2 ? 0.7 : 1.4;
        calibrated.notes[static_cast<std::size_t>(k)].vmax = 120;
    }
    session.Start(calibrated);
    Listening& l = session.listening();
    ASSERT_EQ(l.OpenInput(), QString());
    ASSERT_TRUE(l.Connect(synth.AudioOutName()));

    ASSERT_TRUE(Measure(l));
    VoicingOptions everyKeyEven;
    everyKeyEven.reachShare = kVoicingEveryKeyEvenShare;
    const VoicingResult fit = FitVoicing(l.Table(), session.notes(), everyKeyEven);
    ASSERT_TRUE(fit.ok);
    ASSERT_EQ(fit.counted, 12);
    EXPECT_GT(fit.spreadBefore, 3.0);

    const NoteTable before = session.notes();
    session.ApplyVoicing(fit);
    const NoteTable after = session.notes();
    ASSERT_TRUE(Measure(l, [&](int key, int velocity) {
        const KeyVoicing& v = fit.keys[static_cast<std::size_t>(key)];
        return static_cast<int>(MapVelocity(velocity, v.correctionExp, 0, v.correctionVmax));
    }));
    for (int i = 0; i < l.Table().VelocityCount(); ++i) {
        std::vector<double> levels;
        for (int k = kLow; k < kLow + 12; ++k)
            levels.push_back(l.Table().At(k, i).value_or(LoudnessTable::kSilent));
        const double median = MedianOf(levels);
        std::vector<double> off;
        for (const double level : levels)
            off.push_back(std::abs(level - median));
        const double spread = NearestRankP95(off);
        EXPECT_LE(spread, 1.0) << "velocity "
                               << l.Table().Velocities()[static_cast<std::size_t>(i)];
        std::printf("velocity %d: p95 spread %.2f LU before (fit), %.2f LU measured after\n",
                    l.Table().Velocities()[static_cast<std::size_t>(i)], fit.spreadBefore, spread);
    }

    session.Undo();
    EXPECT_EQ(session.notes(), before);
    session.Redo();
    EXPECT_EQ(session.notes(), after);
}

} // namespace
} // namespace velomire::e2e
