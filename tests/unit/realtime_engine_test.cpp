#include "core/midi/lock_free.h"
#include "core/midi/realtime_engine.h"
#include "support/fake_midi_system.h"
#include "support/recording_path.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <latch>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace velomire {
namespace {

TEST(IsOwnPort, RecognisesOurClientOnly) {
    const struct {
        const char* name;
        bool own;
    } rows[] = {
        {"Velomire:Velomire Out 128:0", true},
        {"Velomire:Velomire In", true},
        {"Velomire-01:Velomire Out 129:0", true},
        {"Velomire", false},
        {"VelomireX:port", false},
        {"Digital Piano:Digital Piano MIDI 1 20:0", false},
        {"Other:Velomire Out", false},
        {"", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(IsOwnPort(r.name), r.own) << r.name;
}

struct LengthRow {
    std::uint8_t status;
    int length;
};

constexpr LengthRow kLengths[] = {
    {0x00, 0}, {0x40, 0}, {0x7F, 0}, {0x80, 3}, {0x8F, 3}, {0x90, 3}, {0x9A, 3},
    {0xA0, 3}, {0xA5, 3}, {0xB0, 3}, {0xBF, 3}, {0xC0, 2}, {0xCF, 2}, {0xD0, 2},
    {0xD3, 2}, {0xE0, 3}, {0xEF, 3}, {0xF0, 0}, {0xF1, 2}, {0xF2, 3}, {0xF3, 2},
    {0xF4, 1}, {0xF5, 1}, {0xF6, 1}, {0xF7, 0}, {0xF8, 1}, {0xF9, 1}, {0xFA, 1},
    {0xFB, 1}, {0xFC, 1}, {0xFD, 1}, {0xFE, 1}, {0xFF, 1},
};

TEST(ShortMessageLength, StandardLengths) {
    for (const LengthRow& r : kLengths)
        EXPECT_EQ(ShortMessageLength(r.status), r.length) << std::hex << int{r.status};
}

// Whole messages out of a device's events, as the engine's inbox takes them.
struct Collect {
    std::vector<Bytes> messages;
    Bytes sysex;
    int dropped = 0;
    void Message(const std::uint8_t* m, std::size_t n) { messages.emplace_back(m, m + n); }
    void SysExBytes(const std::uint8_t* b, std::size_t n) { sysex.insert(sysex.end(), b, b + n); }
    void SysExEnd() { messages.push_back(std::exchange(sysex, {})); }
    void SysExDropped() {
        sysex.clear();
        ++dropped;
    }
};

// A device event may hold several messages (JACK passes events as they were sent), and a
// SysEx may span events; each row is one device's stream.
TEST(SplitMidiBytes, WholeMessagesFromEvents) {
    struct Row {
        const char* what;
        std::vector<Bytes> events;
        std::vector<Bytes> out;
        int dropped;
    } rows[] = {
        {"one note", {{0x90, 60, 100}}, {{0x90, 60, 100}}, 0},
        {"two messages", {{0x90, 60, 100, 0x80, 60, 0}}, {{0x90, 60, 100}, {0x80, 60, 0}}, 0},
        {"running status", {{0x90, 60, 100, 62, 90}}, {{0x90, 60, 100}, {0x90, 62, 90}}, 0},
        {"running two-byte", {{0xC0, 5, 6}}, {{0xC0, 5}, {0xC0, 6}}, 0},
        {"clock inside a note", {{0x90, 0xF8, 60, 100}}, {{0xF8}, {0x90, 60, 100}}, 0},
        {"stray data dropped", {{60, 100, 0xB0, 64, 127}}, {{0xB0, 64, 127}}, 0},
        {"incomplete dropped", {{0x90, 60}}, {}, 0},
        {"a short message ends with its event", {{0x90, 60}, {100}}, {}, 0},
        {"system common ends running status",
         {{0x90, 1, 2, 0xF3, 4, 5, 6}},
         {{0x90, 1, 2}, {0xF3, 4}},
         0},
        {"sysex then note",
         {{0xF0, 1, 2, 0xF7, 0x90, 3, 4}},
         {{0xF0, 1, 2, 0xF7}, {0x90, 3, 4}},
         0},
        {"lone F7 dropped", {{0xF7, 0xFF}}, {{0xFF}}, 0},
        {"sysex broken off by a status byte",
         {{0xF0, 1, 2, 3, 0x90, 60, 100}},
         {{0x90, 60, 100}},
         1},
        {"lone F0 broken off by the next event", {{0xF0}, {0x90, 60, 100}}, {{0x90, 60, 100}}, 1},
        {"F0 inside a sysex starts another", {{0xF0, 1, 0xF0, 2, 0xF7}}, {{0xF0, 2, 0xF7}}, 1},
        {"clock inside a sysex", {{0xF0, 0x7E, 0xF8, 1, 0xF7}}, {{0xF8}, {0xF0, 0x7E, 1, 0xF7}}, 0},
        {"sysex in three events",
         {{0xF0, 0x43, 1}, {2, 3}, {4, 0xF7, 0x90, 60, 100}},
         {{0xF0, 0x43, 1, 2, 3, 4, 0xF7}, {0x90, 60, 100}},
         0},
        {"clock, then F7 alone", {{0xF0, 1}, {0xF8}, {2}, {0xF7}}, {{0xF8}, {0xF0, 1, 2, 0xF7}}, 0},
        {"unfinished sysex waits", {{0xF0, 1, 2}}, {}, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        MidiSplitState state;
        Collect got;
        for (const Bytes& e : r.events)
            SplitMidiBytes(state, e.data(), e.size(), got);
        EXPECT_EQ(got.messages, r.out) << Hex(got.messages);
        EXPECT_EQ(got.dropped, r.dropped);
    }
}

// Runs `work` on a thread of its own and gives it `limit`: a hang fails the run (the hung
// threads cannot be joined, so the program ends) instead of stalling it.
void WithinDeadline(const std::function<void()>& work,
                    std::chrono::seconds limit = std::chrono::seconds(120)) {
    std::future<void> done = std::async(std::launch::async, work);
    if (done.wait_for(limit) == std::future_status::timeout) {
        std::fprintf(stderr, "%s: still running after %lld s, taken as hung\n",
                     ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }
    done.get();
}

// Controllers keep their channel and data1 on the path, so each can carry its index.
Bytes Numbered(std::size_t i) {
    return {static_cast<std::uint8_t>(0xB0 | ((i >> 14) & 0x0F)),
            static_cast<std::uint8_t>((i >> 7) & 0x7F), static_cast<std::uint8_t>(i & 0x7F)};
}

Bytes SysEx(int tag, std::size_t size) {
    Bytes m(size, static_cast<std::uint8_t>(tag & 0x7F));
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

class EngineTest : public ::testing::Test {
protected:
    EngineTest() { engine.Publish(StartupTables()); }

    // One device event, run at once; returns what it sent.
    std::vector<Bytes> Play(const Bytes& event) {
        out.Clear();
        engine.Input(event, 0);
        engine.Pump(out);
        return out.sent;
    }

    RealtimeEngine engine;
    RecordingSender out;
};

// Each status leaves with its own length, never with bytes of the message before it in
// the same event; active sensing never leaves.
TEST_F(EngineTest, EachStatusLeavesWithItsLengthOnly) {
    const Bytes bend{0xE5, 0x11, 0x22};
    for (const LengthRow& r : kLengths) {
        SCOPED_TRACE(::testing::Message() << std::hex << int{r.status});
        const Bytes own{r.status, 60, 100};
        Bytes event = bend;
        event.insert(event.end(), own.begin(), own.begin() + std::max(r.length, 1));
        std::vector<Bytes> expected{bend};
        if (r.length > 0 && r.status != 0xFE)
            expected.emplace_back(own.begin(), own.begin() + r.length);
        EXPECT_EQ(Play(event), expected) << Hex(out.sent);
        engine.InputClosed(); // forgets a SysEx left open
    }
}

// What waits runs in arrival order at one pump, reshaped, SysEx whole, at its event's frame.
TEST_F(EngineTest, WaitingInputLeavesInOrderAtItsFrames) {
    engine.Publish(StartupTables(2, true));
    Bytes longSysEx{0xF0, 0x00, 0x20, 0x29};
    for (int i = 0; i < 4000; ++i)
        longSysEx.push_back(static_cast<std::uint8_t>((i * 7) & 0x7F));
    longSysEx.push_back(0xF7);
    const struct {
        Bytes event;
        std::uint32_t frame;
        std::vector<Bytes> sent;
    } rows[] = {
        {{0x93, 60, 100}, 0, {{0x90, 62, 100}}},
        {{0x90, 0xFE, 64, 90}, 3, {{0x90, 66, 90}}},
        {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, 5, {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}},
        {{0xF8}, 5, {{0xF8}}},
        {{0x40}, 6, {}},
        {longSysEx, 7, {longSysEx}},
        {{0xC5, 9}, 8, {{0xC0, 9}}},
        {{0xD2, 70}, 9, {{0xD0, 70}}},
        {{0xF2, 1, 2}, 10, {{0xF2, 1, 2}}},
        {{0xF0, 0x7D, 0xF7}, 11, {{0xF0, 0x7D, 0xF7}}}, // as short as a channel message
        {{0xB1, 64, 0}, 12, {{0xB0, 64, 0}}},
        {{0xFE}, 13, {}},
        {{0x83, 60, 0}, 14, {{0x80, 62, 0}}},
    };
    std::vector<Bytes> expected;
    std::vector<std::uint32_t> frames;
    for (const auto& r : rows) {
        engine.Input(r.event, r.frame);
        expected.insert(expected.end(), r.sent.begin(), r.sent.end());
        frames.insert(frames.end(), r.sent.size(), r.frame);
    }
    engine.Pump(out);
    EXPECT_EQ(out.sent, expected) << Hex(out.sent);
    EXPECT_EQ(out.frames, frames);
    out.Clear();
    engine.Pump(out);
    EXPECT_TRUE(out.sent.empty()) << "sent twice";
    EXPECT_FALSE(engine.CountLosses().Any());
}

// Commands run before the input waiting with them, in order, each reaching its ticket;
// Send takes one whole short message and refuses anything else.
TEST_F(EngineTest, CommandsRunFirstInOrderAndSendOnlyWholeMessages) {
    const Bytes localControlOff{0xB0, 122, 0};
    engine.Input(Bytes{0x90, 60, 100}, 0);
    EXPECT_EQ(engine.Post(RealtimeEngine::Command::Send, localControlOff), 1u);
    EXPECT_EQ(engine.Post(RealtimeEngine::Command::Panic), 2u);
    EXPECT_EQ(engine.CommandsRun(), 0u);
    engine.Pump(out);
    std::vector<Bytes> expected{localControlOff, {0xFF}};
    const auto tail = PedalAndAllNotesOff();
    expected.insert(expected.end(), tail.begin(), tail.end());
    expected.push_back({0x90, 60, 100});
    EXPECT_EQ(out.sent, expected) << Hex(out.sent);
    EXPECT_EQ(engine.CommandsRun(), 2u);
    EXPECT_EQ(engine.Sounding(), 1);

    out.Clear();
    EXPECT_EQ(engine.Post(RealtimeEngine::Command::ReleaseAll), 3u);
    engine.Pump(out);
    EXPECT_EQ(out.sent, (std::vector<Bytes>{{0x80, 60, 64}, {0xB0, 64, 0}, {0xB0, 123, 0}}));
    EXPECT_EQ(engine.LastReleased(), 1);
    EXPECT_EQ(engine.Sounding(), 0);

    const Bytes refused[] = {
        {}, {0x90, 60}, {0x90, 60, 100, 0}, {0x90, 60, 0x80}, {60, 100}, {0xF0, 0x7E, 0xF7}, {0xF7},
    };
    for (const Bytes& b : refused)
        EXPECT_EQ(engine.Post(RealtimeEngine::Command::Send, b), 0u) << Hex(b);

    // A full queue refuses too; nothing posted is lost.
    out.Clear();
    for (std::size_t i = 0; i < RealtimeEngine::kCommands; ++i)
        ASSERT_NE(engine.Post(RealtimeEngine::Command::Send, Numbered(i)), 0u) << i;
    EXPECT_EQ(engine.Post(RealtimeEngine::Command::Send, localControlOff), 0u);
    engine.Pump(out);
    ASSERT_EQ(out.sent.size(), RealtimeEngine::kCommands);
    for (std::size_t i = 0; i < RealtimeEngine::kCommands; ++i)
        ASSERT_EQ(out.sent[i], Numbered(i)) << i;
    EXPECT_EQ(engine.CommandsRun(), 3u + RealtimeEngine::kCommands);
}

// A MIDI side held up: the oldest wait, the rest are counted; a SysEx with no room for its
// marker is dropped whole and never turns up later.
TEST_F(EngineTest, FullInboxKeepsTheOldestAndCountsTheRest) {
    const std::size_t extra = 5;
    for (std::size_t i = 0; i < RealtimeEngine::kInboxMessages + extra; ++i)
        engine.Input(Numbered(i), 0);
    engine.Input(Bytes{0xF0, 0x01, 0xF7}, 0);
    EXPECT_EQ(engine.CountLosses().inputFull, extra);
    EXPECT_EQ(engine.CountLosses().sysexNoRoom, 1u);

    engine.Pump(out);
    ASSERT_EQ(out.sent.size(), RealtimeEngine::kInboxMessages);
    for (std::size_t i = 0; i < out.sent.size(); ++i)
        ASSERT_EQ(out.sent[i], Numbered(i)) << i;
    EXPECT_EQ(Play({0xF0, 0x02, 0xF7}), (std::vector<Bytes>{{0xF0, 0x02, 0xF7}}));
    const RealtimeEngine::Losses losses = engine.CountLosses();
    EXPECT_EQ(losses.inputFull, extra);
    EXPECT_EQ(losses.sysexNoRoom, 1u);
    EXPECT_EQ(losses.sysexIncomplete + losses.outputFull, 0u);
}

// SysEx waits in bounded room: what does not fit, or is longer than any SysEx may be, is
// counted; what passes, passes whole and in order, also once the room has wrapped around.
TEST_F(EngineTest, SysExBeyondItsRoomIsCountedAndWhatPassesIsWhole) {
    constexpr int kEach = 128; // 8 MiB a round, twice the room
    std::size_t passed = 0;
    for (std::size_t round = 1; round <= 2; ++round) {
        out.Clear();
        for (int i = 0; i < kEach; ++i)
            engine.Input(SysEx(i, std::size_t{64} << 10), 0);
        engine.Pump(out);
        for (std::size_t i = 0; i < out.sent.size(); ++i)
            ASSERT_TRUE(out.sent[i] == SysEx(static_cast<int>(i), std::size_t{64} << 10)) << i;
        passed += out.sent.size();
        EXPECT_EQ(passed + engine.CountLosses().sysexNoRoom, kEach * round);
    }
    const std::uint64_t dropped = engine.CountLosses().sysexNoRoom;
    EXPECT_GT(dropped, 2u);
    EXPECT_TRUE(Play(SysEx(1, kMaxSysExBytes + 1)).empty());
    EXPECT_EQ(engine.CountLosses().sysexNoRoom, dropped + 1);
    EXPECT_EQ(Play(SysEx(2, kMaxSysExBytes)), std::vector<Bytes>{SysEx(2, kMaxSysExBytes)});
}

// A SysEx the device broke off, or left open when the input closed, is counted and
// forgotten: what the next device sends never completes it.
TEST_F(EngineTest, BrokenOffSysExIsCountedAndForgotten) {
    EXPECT_EQ(Play({0xF0, 1, 2, 0x90, 60, 100}), (std::vector<Bytes>{{0x90, 60, 100}}));
    EXPECT_TRUE(Play({0xF0, 1, 2}).empty());
    engine.InputClosed();
    EXPECT_EQ(Play({3, 0xF7, 0x90, 62, 100}), (std::vector<Bytes>{{0x90, 62, 100}}));
    EXPECT_EQ(engine.CountLosses().sysexIncomplete, 2u);
}

// The wake is written within milliseconds of the readout (by the waker on JACK).
std::uint64_t Wakes(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1)
        return 0;
    std::uint64_t n = 0;
    return ::read(fd, &n, sizeof n) == sizeof n ? n : 0;
}

// Lighting the window does not take is dropped, never MIDI; the window is woken once per
// drain, and sees what arrives while it drains.
TEST_F(EngineTest, ReadoutsWakeOnceAndAFullRingDropsOnlyLighting) {
    for (std::size_t i = 0; i < RealtimeEngine::kReadouts; ++i) {
        engine.Input(Bytes{0x90, 60, 100}, 0);
        engine.Input(Bytes{0x80, 60, 0}, 0);
        engine.Pump(out);
    }
    EXPECT_EQ(out.sent.size(), 2 * RealtimeEngine::kReadouts);
    EXPECT_FALSE(engine.CountLosses().Any());
    EXPECT_EQ(Wakes(engine.WakeFd()), 1u);
    std::vector<Lit> seen;
    const auto keep = [&](const Readout& r) {
        seen.push_back(r.kind == Readout::Kind::Sounding ? On(r.in, r.out, r.velocity, r.mapped)
                                                         : Off(r.out));
    };
    engine.DrainReadouts(keep);
    ASSERT_EQ(seen.size(), RealtimeEngine::kReadouts);
    EXPECT_EQ(seen[0], On(60, 60, 100, 100));
    EXPECT_EQ(seen[1], Off(60));

    // The same through the waker thread, as on JACK's real-time thread.
    engine.DeferWakes();
    seen.clear();
    Play({0x90, 60, 100});
    EXPECT_EQ(Wakes(engine.WakeFd()), 1u);
    engine.DrainReadouts([&](const Readout& r) {
        keep(r);
        if (seen.size() == 1)
            Play({0x90, 62, 90});
    });
    EXPECT_EQ(seen, (std::vector<Lit>{On(60, 60, 100, 100), On(62, 62, 90, 90)}));
}

// A device thread floods the input while the UI thread kicks: nothing lost, order kept.
TEST(EngineThreads, TwentyThousandFromADeviceThreadArriveInOrder) {
    WithinDeadline([] {
        RealtimeEngine engine;
        engine.Publish(StartupTables());
        FakeMidiSystem sys;
        sys.inputs = {"Keys"};
        sys.outputs = {"Synth"};
        sys.Attach(&engine);
        ASSERT_TRUE(sys.OpenOutput("Synth"));
        ASSERT_TRUE(sys.OpenInput("Keys"));
        constexpr std::size_t kCount = 20000;
        std::atomic<bool> done{false};
        std::atomic<int> refused{0};
        std::thread device([&] {
            for (std::size_t i = 0; i < kCount; ++i)
                if (!sys.Inject(Numbered(i)))
                    ++refused;
            done.store(true);
        });
        while (!done.load())
            sys.Kick();
        device.join();
        sys.Attach(nullptr);

        EXPECT_EQ(refused.load(), 0);
        EXPECT_FALSE(engine.CountLosses().Any());
        const auto sent = sys.Sent();
        ASSERT_EQ(sent.size(), kCount);
        for (std::size_t i = 0; i < kCount; ++i)
            ASSERT_EQ(sent[i], Numbered(i)) << "message " << i;
    });
}

// Tables in which everything comes from generation g (1..127): every key's curve gives
// velocity g for 127, key k sounds as k + g, every channel goes to g % 16.
PathTables Generation(int g) {
    PathTables t;
    for (int k = 0; k < 128; ++k)
        t.notes[static_cast<std::size_t>(k)] = {static_cast<std::uint8_t>((k + g) & 0x7F), kFalse,
                                                1.0, 0, static_cast<std::uint8_t>(g)};
    for (int c = 0; c < 16; ++c)
        t.channels[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(g & 0x0F);
    return t;
}

// Tables swapped while messages flow: every message, and every message of one pump, comes
// from one whole generation; a note-off goes where its note-on went.
TEST(EngineThreads, TablesSwappedWhileMessagesFlowAreNeverTorn) {
    WithinDeadline([] {
        RealtimeEngine engine;
        engine.Publish(Generation(1));
        struct Check final : MidiSender {
            int key = 0;     // of the note-on expected next
            int pumpGen = 0; // generation of this pump's first note-on; 0: none yet
            int lastGen = 1; // of the last note-on
            Bytes lastOn;
            std::uint64_t torn = 0, swaps = 0;
            bool Send(std::span<const std::uint8_t> m, std::uint32_t) override {
                if (m.size() != 3) {
                    ++torn;
                } else if ((m[0] & 0xF0) == 0x90) {
                    const int g = m[2];
                    if ((m[0] & 0x0F) != (g & 0x0F) || m[1] != ((key + g) & 0x7F) ||
                        (pumpGen != 0 && g != pumpGen))
                        ++torn;
                    swaps += g != lastGen;
                    pumpGen = lastGen = g;
                    lastOn.assign(m.begin(), m.end());
                    key = (key + 1) & 0x7F;
                } else if (m[0] != (0x80 | (lastOn[0] & 0x0F)) || m[1] != lastOn[1]) {
                    ++torn;
                }
                return true;
            }
        } check;
        std::atomic<bool> stop{false};
        std::thread midi([&] {
            for (int pumps = 0; pumps < 20000 || check.swaps < 2000; ++pumps) {
                for (int i = 0; i < 4; ++i) {
                    const auto k = static_cast<std::uint8_t>((check.key + i) & 0x7F);
                    engine.Input(Bytes{0x90, k, 127}, 0);
                    engine.Input(Bytes{0x80, k, 0}, 0);
                }
                check.pumpGen = 0;
                engine.Pump(check);
            }
            stop.store(true);
        });
        for (int g = 1; !stop.load(); g = g % 127 + 1)
            engine.Publish(Generation(g));
        midi.join();
        EXPECT_EQ(check.torn, 0u);
    });
}

// The UI's panic lands after what was sent and before what comes later, whichever thread
// holds the turn when it is posted (on ALSA the UI kicks while the input thread pumps), and
// always at one point of the stream: its note-offs end exactly what was sounding there.
TEST(EngineThreads, PanicLandsAfterWhatWasSentAndBeforeWhatFollows) {
    WithinDeadline([] {
        RealtimeEngine engine;
        engine.Publish(StartupTables());
        RecordingSender out; // both threads send here, one at a time
        const auto panic = [](std::vector<Bytes> offs) {
            offs.insert(offs.begin(), Bytes{0xFF});
            const auto tail = PedalAndAllNotesOff();
            offs.insert(offs.end(), tail.begin(), tail.end());
            return offs;
        };

        // The input thread holds the turn, blocked in a send, when the UI posts and kicks.
        std::latch inSend{1}, kicked{1};
        out.hook = [&](const Bytes& m) {
            if (m == Bytes{0x90, 60, 100}) {
                inSend.count_down();
                kicked.wait();
            }
        };
        std::uint64_t ranBeforeInput = 0;
        std::thread input([&] {
            engine.Input(Bytes{0x90, 60, 100}, 0);
            engine.Pump(out);
            ranBeforeInput = engine.CommandsRun();
            engine.Input(Bytes{0x90, 62, 100}, 0);
            engine.Pump(out);
        });
        inSend.wait();
        const std::uint64_t ticket = engine.Post(RealtimeEngine::Command::Panic);
        engine.Pump(out);
        EXPECT_LT(engine.CommandsRun(), ticket) << "ran beside the input thread's drain";
        kicked.count_down();
        input.join();
        EXPECT_EQ(ranBeforeInput, ticket) << "left behind by the holder";
        std::vector<Bytes> expected = panic({{0x80, 60, 64}});
        expected.insert(expected.begin(), Bytes{0x90, 60, 100});
        expected.push_back({0x90, 62, 100});
        EXPECT_EQ(out.sent, expected) << Hex(out.sent);

        // The UI holds the turn, sending the panic, when input arrives.
        out.Clear();
        std::latch inPanic{1}, arrived{1};
        out.hook = [&](const Bytes& m) {
            if (m == Bytes{0xFF}) {
                inPanic.count_down();
                arrived.wait();
            }
        };
        input = std::thread([&] {
            inPanic.wait();
            engine.Input(Bytes{0x90, 64, 100}, 0);
            engine.Pump(out);
            arrived.count_down();
        });
        engine.Post(RealtimeEngine::Command::Panic);
        engine.Pump(out);
        input.join();
        expected = panic({{0x80, 62, 64}});
        expected.push_back({0x90, 64, 100});
        EXPECT_EQ(out.sent, expected) << Hex(out.sent);

        // Free running: the stream replayed, each panic ends what sounds where it lands.
        out.Clear();
        out.hook = nullptr;
        // A panic every 50 to 100 pairs: the input waits for the UI when it is behind.
        std::atomic<int> played{0}, panics{0};
        std::atomic<bool> done{false};
        input = std::thread([&] {
            for (int i = 0; i < 20000; ++i) {
                while (i >= 100 * (panics.load() + 1))
                    std::this_thread::yield();
                engine.Input(Bytes{0x90, static_cast<std::uint8_t>(40 + i % 16), 100}, 0);
                engine.Input(Bytes{0x80, static_cast<std::uint8_t>(40 + (i + 8) % 16), 0}, 0);
                engine.Pump(out);
                played.store(i + 1);
            }
            done.store(true);
        });
        std::uint64_t last = engine.CommandsRun();
        for (int nextAt = 0; !done.load();) {
            if (played.load() >= nextAt) {
                nextAt = played.load() + 50;
                if (const std::uint64_t t = engine.Post(RealtimeEngine::Command::Panic))
                    last = t;
                ++panics;
            }
            engine.Pump(out); // kicks in between, as the UI would
            std::this_thread::yield();
        }
        input.join();
        EXPECT_EQ(engine.CommandsRun(), last) << "a panic was left behind";
        std::set<Bytes> sounding{{0x90, 64, 100}};
        const auto tail = PedalAndAllNotesOff();
        for (std::size_t i = 0; i < out.sent.size(); ++i) {
            const Bytes& m = out.sent[i];
            if (m[0] == 0x90) {
                sounding.insert(m);
            } else if (m[0] == 0x80) {
                sounding.erase({0x90, m[1], 100});
            } else {
                ASSERT_EQ(m, Bytes{0xFF}) << i;
                std::set<Bytes> ended;
                for (std::size_t n = 0; n < sounding.size(); ++n) {
                    const Bytes& off = out.sent.at(++i);
                    ASSERT_EQ(off, (Bytes{0x80, off[1], 64})) << "panic broken into at " << i;
                    ended.insert({0x90, off[1], 100});
                }
                ASSERT_EQ(ended, sounding) << "panic at " << i;
                sounding.clear();
                for (const Bytes& t : tail)
                    ASSERT_EQ(out.sent.at(++i), t) << "panic broken into at " << i;
            }
        }
        EXPECT_EQ(engine.Sounding(), static_cast<int>(sounding.size()));
    });
}

// Two threads queueing work and running one drain for it, round after round: never both
// in the drain at once, and once both have returned no work is left queued.
TEST(ExclusiveTurn, TwoThreadsNeverDrainAtOnceAndLeaveNothingQueued) {
    WithinDeadline([] {
        ExclusiveTurn turn;
        SpscRing<std::uint32_t> a(64), b(64);
        SpscRing<std::uint32_t>* queues[] = {&a, &b};
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::uint32_t next[2] = {0, 0}; // the drain's alone, by the turn
        std::uint64_t taken = 0, outOfOrder = 0;
        const auto drain = [&] {
            if (inside.fetch_add(1) != 0)
                ++overlaps;
            for (int q = 0; q < 2; ++q) {
                for (std::uint32_t v; queues[q]->Pop(v); ++taken)
                    outOfOrder += v != next[q]++;
            }
            inside.fetch_sub(1);
        };
        const auto pending = [&] { return !a.Empty() || !b.Empty(); };
        int leftBehind = 0;
        std::barrier roundEnd(2, [&]() noexcept { leftBehind += pending(); });
        constexpr std::uint32_t kRounds = 20000, kEach = 4;
        const auto produce = [&](int q) {
            for (std::uint32_t i = 0; i < kRounds * kEach; ++i) {
                while (!queues[q]->Push(i))
                    std::this_thread::yield();
                turn.Run(drain);
                if (i % kEach == kEach - 1)
                    roundEnd.arrive_and_wait();
            }
        };
        std::thread first(produce, 0), second(produce, 1);
        first.join();
        second.join();
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_EQ(leftBehind, 0);
        EXPECT_EQ(outOfOrder, 0u);
        EXPECT_EQ(taken, 2u * kRounds * kEach);
    });
}

} // namespace
} // namespace velomire
