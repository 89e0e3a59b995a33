#include "core/listening/audio_ring.h"
#include "core/listening/measuring_run.h"
#include "core/midi/realtime_engine.h"
#include "support/recording_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velomire {
namespace {

bool Contains(const std::vector<Bytes>& sent, const Bytes& m) {
    return std::find(sent.begin(), sent.end(), m) != sent.end();
}

// The run's notes are held like played ones: whatever ends what sounds ends them, where
// they went (transposed, on the channel input channel 1 goes to), with All Notes Off there.
TEST(ListeningCommands, RunNotesSoundAloneAndEndWhateverEndsThem) {
    const struct {
        const char* name;
        std::function<void(RealtimeEngine&)> end;
        bool keysBack; // the player's keys play again afterwards
    } rows[] = {
        {"cancel", [](RealtimeEngine& e) { e.Post(RealtimeEngine::Command::Unlisten); }, true},
        {"device change", [](RealtimeEngine& e) { e.Post(RealtimeEngine::Command::ReleaseAll); },
         false},
        {"Notes OFF", [](RealtimeEngine& e) { e.Post(RealtimeEngine::Command::Panic); }, false},
        {"stop", [](RealtimeEngine& e) { e.RequestStop(); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RealtimeEngine engine;
        PathTables tables;
        TransposeOutnotes(tables.notes, 2);
        for (auto& n : tables.notes)
            n.exp = 1.0, n.vmax = 127;
        tables.channels.fill(3);
        engine.Publish(tables);
        RecordingSender out;
        const std::uint8_t held[] = {0x90, 50, 100};
        engine.Input(held, 0);
        engine.Pump(out);

        engine.Post(RealtimeEngine::Command::Listen);
        engine.Pump(out);
        // The player's key ends before the pedal is lifted.
        const auto off = std::find(out.sent.begin(), out.sent.end(), Bytes{0x83, 52, 64});
        const auto pedal = std::find(out.sent.begin(), out.sent.end(), Bytes{0xB3, 64, 0});
        ASSERT_NE(off, out.sent.end());
        ASSERT_NE(pedal, out.sent.end());
        EXPECT_LT(off, pedal);

        out.Clear();
        const std::uint8_t strike[] = {60, 90};
        const std::uint8_t played[] = {0x90, 40, 100};
        EXPECT_GT(engine.Post(RealtimeEngine::Command::Strike, strike), 0u);
        engine.Input(played, 0); // ignored while the run plays
        engine.Pump(out);
        EXPECT_EQ(out.sent, (std::vector<Bytes>{{0x93, 62, 90}})) << "raw velocity, no curve";
        EXPECT_EQ(engine.Strikes(), 1u);
        EXPECT_EQ(engine.Sounding(), 1);

        out.Clear();
        row.end(engine);
        engine.Pump(out);
        EXPECT_TRUE(Contains(out.sent, {0x83, 62, 64}));
        EXPECT_TRUE(Contains(out.sent, {0xB3, 123, 0}));
        EXPECT_EQ(engine.Sounding(), 0);

        out.Clear();
        engine.Input(played, 0);
        engine.Pump(out);
        EXPECT_EQ(!out.sent.empty(), row.keysBack);
    }
}

TEST(AudioRing, HandsOverAChunkWhereTheStrikeCountMovesAndCountsWhatDidNotFit) {
    AudioRing ring(2);
    const std::vector<float> samples(AudioChunk::kFrames, 0.5f);
    ring.Write(samples.data(), 100, 0);
    ring.Write(samples.data(), 100, 1); // the onset: a chunk of its own from here
    ring.Write(samples.data(), 256, 1); // fills the second chunk
    AudioChunk c;
    ASSERT_TRUE(ring.Read(c));
    EXPECT_EQ(c.strikes, 0u);
    EXPECT_EQ(c.frames, 100);
    ASSERT_TRUE(ring.Read(c));
    EXPECT_EQ(c.strikes, 1u);
    EXPECT_EQ(c.frames, 256);
    EXPECT_FALSE(ring.Read(c)); // the rest waits for more
    for (int i = 0; i < 4; ++i)
        ring.Write(samples.data(), 100, static_cast<std::uint32_t>(2 + i));
    // Handed over: the 100 frames left at 1, and those at 2, 3 and 4; the ring took two.
    EXPECT_EQ(ring.DroppedFrames(), 200u);
}

// A sound generator as the run hears it: a 1 kHz sine per key at gain * (velocity/127)^2,
// from the period after the strike, until the lift; stamps the audio as the engine would.
struct SimulatedSynth {
    static constexpr unsigned kRate = 48000;
    std::array<double, 128> gain{};
    bool stamps = true;
    std::uint32_t strikes = 0;
    double amplitude = 0.0;
    double phase = 0.0;
    std::vector<MeasuringRun::Action> heard;

    void Take(const std::vector<MeasuringRun::Action>& actions) {
        for (const auto& a : actions) {
            heard.push_back(a);
            if (a.kind == MeasuringRun::Action::Kind::Lift) {
                amplitude = 0.0;
                continue;
            }
            strikes += stamps ? 1 : 0;
            const double v = a.velocity / 127.0;
            amplitude = gain[static_cast<std::size_t>(a.key)] * v * v;
        }
    }
    AudioChunk Next() {
        AudioChunk c{strikes, AudioChunk::kFrames, {}};
        for (float& s : c.samples) {
            s = static_cast<float>(amplitude * std::sin(phase));
            phase += 2.0 * std::numbers::pi * 1000.0 / kRate;
        }
        return c;
    }
    void Run(MeasuringRun& run) {
        std::vector<MeasuringRun::Action> actions;
        for (int i = 0; i < 100000 && !run.Finished(); ++i) {
            actions.clear();
            run.Feed(Next(), actions);
            Take(actions);
        }
    }
};

MeasuringPlan ShortPlan(int low, int high, std::vector<int> velocities) {
    MeasuringPlan plan;
    plan.lowKey = low;
    plan.highKey = high;
    plan.velocities = std::move(velocities);
    plan.noteSeconds = 0.45;
    plan.releaseSeconds = 0.05;
    plan.quietSeconds = 0.1;
    return plan;
}

TEST(MeasuringRun, RecordsEachKeysLevelFromItsOnsetAndNamesKeysThatDidNotSound) {
    SimulatedSynth synth;
    // Loud and soft keys in turn: a loud note's sound must not count for the soft one after.
    const double levelsDb[] = {0, -12, 3, -20, 0, -6};
    for (int i = 0; i < 6; ++i)
        synth.gain[static_cast<std::size_t>(40 + i)] = 0.25 * std::pow(10.0, levelsDb[i] / 20);
    synth.gain[44] = 0.0; // a key that does not sound
    MeasuringPlan plan = ShortPlan(40, 45, {127, 50});
    // Sent through a correction: the table keeps the planned velocity.
    plan.velocityMap = [](int key, int w) { return key == 41 ? w / 2 : w; };
    MeasuringRun run(plan, SimulatedSynth::kRate, 0);
    synth.Run(run);

    ASSERT_EQ(run.phase(), MeasuringRun::Phase::Done);
    EXPECT_EQ(run.NotesDone(), 12);
    const LoudnessTable& t = run.Table();
    ASSERT_EQ(t.Velocities(), (std::vector<int>{50, 127}));
    // A sine of amplitude a in one channel reads 20 log10(a) - 3.01 LUFS (the K-weighting
    // is about 0 dB at 1 kHz): the meter is calibrated, not only consistent.
    EXPECT_NEAR(*t.At(40, 1), 20 * std::log10(0.25) - 3.01, 0.1);
    for (int i : {0, 2, 3, 5}) {
        EXPECT_NEAR(*t.At(40 + i, 1) - *t.At(40, 1), levelsDb[i], 0.05) << 40 + i;
        EXPECT_NEAR(*t.At(40 + i, 0) - *t.At(40 + i, 1), 40 * std::log10(50.0 / 127), 0.05);
    }
    EXPECT_NEAR(*t.At(41, 1) - *t.At(40, 1), levelsDb[1] + 40 * std::log10(63.0 / 127), 0.05);
    EXPECT_FALSE(t.Sounded(44, 0));
    EXPECT_FALSE(t.Sounded(44, 1));
    EXPECT_EQ(t.At(44, 0), LoudnessTable::kSilent);
    // Level check first (mid-range, loudest), then key by key, each struck then lifted.
    ASSERT_EQ(synth.heard.size(), 26u);
    EXPECT_EQ(synth.heard[0].key, 42);
    EXPECT_EQ(synth.heard[0].velocity, 127);
    EXPECT_EQ(synth.heard[2].key, 40);
    EXPECT_EQ(synth.heard[2].velocity, 50);
    EXPECT_EQ(synth.heard[6].key, 41);
    EXPECT_EQ(synth.heard[6].velocity, 25);
    EXPECT_EQ(run.SecondsLeft(), 0.0);
}

TEST(MeasuringRun, EndsWithoutMeasuringWhenTheLevelCheckOrTheNotesFail) {
    const struct {
        const char* name;
        double gain;
        bool stamps;
        MeasuringRun::Failure failure;
    } rows[] = {
        {"nothing heard", 0.0, true, MeasuringRun::Failure::Silence},
        {"barely above nothing", 1e-5, true, MeasuringRun::Failure::Silence},
        {"full scale", 1.2, true, MeasuringRun::Failure::Clipping},
        {"notes never leave", 0.3, false, MeasuringRun::Failure::NoteNotSent},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimulatedSynth synth;
        synth.gain.fill(row.gain);
        synth.stamps = row.stamps;
        MeasuringRun run(ShortPlan(60, 62, {64, 127}), SimulatedSynth::kRate, 0);
        synth.Run(run);
        EXPECT_EQ(run.phase(), MeasuringRun::Phase::Failed);
        EXPECT_EQ(run.failure(), row.failure);
        EXPECT_TRUE(run.Table().Empty());
        EXPECT_EQ(synth.heard.size(), row.stamps ? 2u : 1u) << "only the level check's note";
    }
}

} // namespace
} // namespace velomire
