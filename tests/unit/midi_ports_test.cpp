#include "midi/engine.h"
#include "midi/fake_backend.h"
#include "midi/midi_ports.h"
#include "support/test_helpers.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace velomire {
namespace {

using Bytes = std::vector<std::uint8_t>;

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

class OutputTest : public ::testing::Test {
protected:
    OutputTest() {
        sys.outputs = {"Synth A", "Synth B"};
        out.DeviceCount();
        out.SetDeviceID(0);
        out.Action(PortAction::Open);
    }
    FakeMidiSystem sys;
    MIDIOutput out{sys};
};

// The data fields keep old values between messages; they must never leak into a shorter one.
TEST_F(OutputTest, SendsEachStatusWithItsLengthOnly) {
    ASSERT_EQ(out.State(), 1);
    out.SetData1(0x11);
    out.SetData2(0x22);
    for (const LengthRow& r : kLengths) {
        sys.ClearSent();
        out.SetStatus(r.status);
        out.Action(PortAction::Send);
        const auto sent = sys.Sent();
        if (r.length == 0) {
            EXPECT_TRUE(sent.empty()) << std::hex << int{r.status};
            continue;
        }
        const Bytes full{r.status, 0x11, 0x22};
        ASSERT_EQ(sent.size(), 1u) << std::hex << int{r.status};
        EXPECT_EQ(sent[0], Bytes(full.begin(), full.begin() + r.length))
            << std::hex << int{r.status};
    }
}

TEST_F(OutputTest, DataFieldsNeverCarryAStatusBit) {
    out.SetStatus(0x90);
    out.SetData1(0x80 | 60);
    out.SetData2(255);
    out.Action(PortAction::Send);
    EXPECT_EQ(sys.Sent(), (std::vector<Bytes>{{0x90, 60, 0x7F}}));
}

TEST_F(OutputTest, SendBytesPassesSysExUnchanged) {
    const Bytes sysex{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    out.SendBytes(sysex.data(), sysex.size());
    out.SendBytes(nullptr, 4);
    out.SendBytes(sysex.data(), 0);
    EXPECT_EQ(sys.Sent(), std::vector<Bytes>{sysex});
}

TEST_F(OutputTest, ClosedOutputSendsNothing) {
    const Bytes sysex{0xF0, 0x7E, 0xF7};
    auto tryAll = [&](MIDIOutput& port) {
        port.SetStatus(0x90);
        port.SetData1(60);
        port.SetData2(100);
        port.Action(PortAction::Send);
        port.SetStatus(0xFF);
        port.Action(PortAction::Send);
        port.SendBytes(sysex.data(), sysex.size());
    };
    out.Action(PortAction::Close);
    EXPECT_EQ(out.State(), 0);
    tryAll(out);

    MIDIOutput unopened(sys);
    tryAll(unopened);

    sys.failingDevices = {"Synth B"};
    MIDIOutput failed(sys);
    failed.DeviceCount();
    failed.SetDeviceID(1);
    failed.Action(PortAction::Open);
    EXPECT_EQ(failed.State(), 0);
    tryAll(failed);

    NoMidiSystem none;
    MIDIOutput nowhere(none);
    nowhere.SetDeviceID(-1);
    nowhere.Action(PortAction::Open);
    EXPECT_EQ(nowhere.State(), 0);
    tryAll(nowhere);

    EXPECT_TRUE(sys.Sent().empty());
}

TEST_F(OutputTest, DeviceNamesIncludeTheVirtualPortAtMinusOne) {
    EXPECT_EQ(out.DeviceCount(), 2);
    EXPECT_EQ(out.DeviceName(-1), QString("Velomire Out (virtual)"));
    EXPECT_EQ(out.DeviceName(0), QString("Synth A"));
    EXPECT_EQ(out.DeviceName(1), QString("Synth B"));
    EXPECT_TRUE(out.DeviceName(2).isEmpty());
    EXPECT_TRUE(out.DeviceName(-2).isEmpty());
}

class InputTest : public ::testing::Test {
protected:
    InputTest() {
        sys.inputs = {"Keys A", "Keys B"};
        in.DeviceCount();
        in.SetDeviceID(0);
        QObject::connect(&in, &MIDIInput::MessageReceived, [this] { ++events; });
    }
    void OpenAndStart() {
        in.Action(PortAction::Open);
        in.Action(PortAction::Start);
        ASSERT_EQ(in.State(), 1);
    }
    // Takes everything waiting, as whole messages.
    std::vector<Bytes> TakeAll() {
        std::vector<Bytes> v;
        while (in.MessageCount() > 0) {
            v.emplace_back(in.MessageBytes(), in.MessageBytes() + in.MessageSize());
            in.Action(PortAction::TakeNext);
        }
        return v;
    }

    FakeMidiSystem sys;
    MIDIInput in{sys};
    int events = 0;
};

TEST_F(InputTest, DeviceNamesAreTheSystemsInputs) {
    EXPECT_EQ(in.DeviceCount(), 2);
    EXPECT_EQ(in.DeviceName(0), QString("Keys A"));
    EXPECT_EQ(in.DeviceName(1), QString("Keys B"));
    EXPECT_TRUE(in.DeviceName(2).isEmpty());
    EXPECT_TRUE(in.DeviceName(-1).isEmpty());
}

TEST_F(InputTest, FieldsOfEachMessageShape) {
    const struct {
        Bytes message;
        int status, data1, data2;
    } rows[] = {
        {{0x90, 60, 100}, 0x90, 60, 100}, {{0xC3, 5}, 0xC3, 5, 0},
        {{0xD0, 90}, 0xD0, 90, 0},        {{0xF8}, 0xF8, 0, 0},
        {{0xF2, 1, 2}, 0xF2, 1, 2},       {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, 0xF0, 0, 0},
    };
    OpenAndStart();
    for (const auto& r : rows)
        ASSERT_TRUE(sys.Inject(r.message));
    ASSERT_EQ(in.MessageCount(), static_cast<int>(std::size(rows)));
    for (const auto& r : rows) {
        SCOPED_TRACE(int{r.message[0]});
        EXPECT_EQ(in.Status(), r.status);
        EXPECT_EQ(in.Data1(), r.data1);
        EXPECT_EQ(in.Data2(), r.data2);
        ASSERT_EQ(in.MessageSize(), r.message.size());
        EXPECT_EQ(Bytes(in.MessageBytes(), in.MessageBytes() + in.MessageSize()), r.message);
        in.Action(PortAction::TakeNext);
    }
    EXPECT_EQ(in.MessageCount(), 0);
    // Reading or taking from an empty queue is harmless.
    EXPECT_EQ(in.Status(), 0);
    EXPECT_EQ(in.MessageSize(), 0u);
    EXPECT_EQ(in.MessageBytes(), nullptr);
    in.Action(PortAction::TakeNext);
    EXPECT_EQ(in.MessageCount(), 0);
}

TEST_F(InputTest, QueuesOnlyBetweenStartAndStop) {
    in.Action(PortAction::Open);
    ASSERT_TRUE(sys.Inject(0x90, 60, 100));
    EXPECT_EQ(in.MessageCount(), 0);
    in.Action(PortAction::Start);
    ASSERT_TRUE(sys.Inject(0x90, 61, 100));
    EXPECT_EQ(in.MessageCount(), 1);
    in.Action(PortAction::Stop);
    ASSERT_TRUE(sys.Inject(0x90, 62, 100));
    EXPECT_EQ(TakeAll(), (std::vector<Bytes>{{0x90, 61, 100}}));
}

TEST_F(InputTest, ActiveSensingDroppedOnlyOnceFiltered) {
    OpenAndStart();
    ASSERT_TRUE(sys.Inject({0xFE}));
    in.SetFilter(254, true);
    in.SetFilter(248, true); // only active sensing can be filtered
    ASSERT_TRUE(sys.Inject({0xFE}));
    ASSERT_TRUE(sys.Inject({0xF8}));
    ASSERT_TRUE(sys.Inject({0xFE}));
    ASSERT_TRUE(sys.Inject({0x90, 60, 1}));
    in.SetFilter(254, false);
    ASSERT_TRUE(sys.Inject({0xFE}));
    EXPECT_EQ(TakeAll(), (std::vector<Bytes>{{0xFE}, {0xF8}, {0x90, 60, 1}, {0xFE}}));
}

TEST_F(InputTest, SysExArrivesWholeBetweenShortMessages) {
    OpenAndStart();
    Bytes big{0xF0, 0x00, 0x20, 0x29};
    for (int i = 0; i < 4000; ++i)
        big.push_back(static_cast<std::uint8_t>((i * 7) & 0x7F));
    big.push_back(0xF7);
    const std::vector<Bytes> input = {
        {0x90, 60, 100}, big, {0xF8}, {0xF0, 0x7D, 0xF7}, {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7},
        {0x80, 60, 0},
    };
    for (const Bytes& m : input)
        ASSERT_TRUE(sys.Inject(m));
    EXPECT_EQ(TakeAll(), input);
}

TEST_F(InputTest, EventRaisedOnlyWhenEnabledAndMessagesWait) {
    OpenAndStart();
    ASSERT_TRUE(sys.Inject(0x90, 60, 100));
    Pump();
    EXPECT_EQ(events, 0) << "raised while disabled";
    EXPECT_EQ(in.MessageCount(), 1);

    // Enabling with messages already waiting raises it without a further message.
    in.SetMessageEventEnable(true);
    ASSERT_TRUE(PumpUntil([&] { return events > 0; }));
    EXPECT_EQ(TakeAll().size(), 1u);

    // Nothing waiting: no event.
    events = 0;
    Pump();
    EXPECT_EQ(events, 0);

    ASSERT_TRUE(sys.Inject(0x80, 60, 0));
    ASSERT_TRUE(PumpUntil([&] { return events > 0; }));
}

TEST_F(InputTest, HandlerSeesMessagesThatArriveWhileItRuns) {
    OpenAndStart();
    std::vector<Bytes> seen;
    bool injectedDuringHandler = false;
    QObject::connect(&in, &MIDIInput::MessageReceived, [&] {
        while (in.MessageCount() > 0) {
            seen.emplace_back(in.MessageBytes(), in.MessageBytes() + in.MessageSize());
            in.Action(PortAction::TakeNext);
        }
        if (!injectedDuringHandler) {
            injectedDuringHandler = true;
            sys.Inject(0x91, 2, 2);
        }
    });
    in.SetMessageEventEnable(true);
    ASSERT_TRUE(sys.Inject(0x90, 1, 1));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<Bytes>{{0x90, 1, 1}, {0x91, 2, 2}}));
}

TEST_F(InputTest, CloseDiscardsTheQueueAndDisablesTheEvent) {
    OpenAndStart();
    in.SetMessageEventEnable(true);
    ASSERT_TRUE(sys.Inject(0x90, 60, 100));
    ASSERT_TRUE(sys.Inject({0xF0, 1, 2, 3, 0xF7}));
    in.Action(PortAction::Stop);
    in.Action(PortAction::Close);
    EXPECT_EQ(in.State(), 0);
    EXPECT_EQ(in.MessageCount(), 0);
    EXPECT_FALSE(sys.Inject(0x90, 61, 100));

    // Reopened without enabling the event: messages wait, nobody is told.
    events = 0;
    OpenAndStart();
    ASSERT_TRUE(sys.Inject({0xF0, 4, 0xF7}));
    Pump();
    EXPECT_EQ(events, 0);
    EXPECT_EQ(TakeAll(), (std::vector<Bytes>{{0xF0, 4, 0xF7}}));
}

TEST_F(InputTest, FullQueueCountsWhatItDrops) {
    OpenAndStart();
    const std::size_t extra = 5;
    for (std::size_t i = 0; i < MIDIInput::kQueueCapacity + extra; ++i)
        sys.Inject({0xB0, static_cast<std::uint8_t>((i >> 7) & 0x7F),
                    static_cast<std::uint8_t>(i & 0x7F)});
    EXPECT_EQ(in.MessageCount(), static_cast<int>(MIDIInput::kQueueCapacity));
    EXPECT_EQ(in.Dropped(), extra);
    // The oldest are kept; the newest were dropped.
    EXPECT_EQ(in.Data1(), 0);
    EXPECT_EQ(in.Data2(), 0);
    in.Action(PortAction::TakeNext);
    ASSERT_TRUE(sys.Inject({0xF8}));
    EXPECT_EQ(in.MessageCount(), static_cast<int>(MIDIInput::kQueueCapacity));
    EXPECT_EQ(in.Dropped(), extra);
}

// A device thread flooding the input while the UI thread forwards: nothing lost, order kept.
TEST(EngineBurst, TwentyThousandFromAnotherThreadArriveInOrder) {
    FakeMidiSystem sys;
    sys.inputs = {"Keys"};
    sys.outputs = {"Synth"};
    Engine engine(sys);
    engine.path.SetTransposition(0);
    engine.path.SetRemapAll(false);
    ASSERT_TRUE(OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition));
    ASSERT_TRUE(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));

    // Controllers keep channel and data1 on the path, so each message carries its index.
    constexpr int kCount = 20000;
    auto encode = [](int i) {
        return Bytes{static_cast<std::uint8_t>(0xB0 | ((i >> 14) & 0x0F)),
                     static_cast<std::uint8_t>((i >> 7) & 0x7F),
                     static_cast<std::uint8_t>(i & 0x7F)};
    };
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::thread device([&] {
        for (int i = 0; i < kCount; ++i) {
            if (!sys.Inject(encode(i)))
                ++refused;
            if (i % 1000 == 0)
                std::this_thread::yield();
        }
        done.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(done.load() && engine.MIDIInput1.MessageCount() == 0) &&
           std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents();
    device.join();
    Pump();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(engine.MIDIInput1.Dropped(), 0u);
    const auto sent = sys.Sent();
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(sent[static_cast<std::size_t>(i)], encode(i)) << "message " << i;
}

// A stalled UI thread: SysEx waits in a bounded ring; what does not fit is counted and said
// once, and what passes, 64 KiB each, passes whole and in order.
TEST(EngineSysEx, FloodBeyondTheBoundIsCountedAndReportedOnce) {
    FakeMidiSystem sys;
    sys.inputs = {"Keys"};
    sys.outputs = {"Synth"};
    Engine engine(sys);
    int reports = 0;
    QObject::connect(&engine, &Engine::MessagesLost, [&] { ++reports; });
    ASSERT_TRUE(OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition));
    ASSERT_TRUE(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));
    auto sysex = [](int tag) {
        Bytes m(std::size_t{64} << 10, static_cast<std::uint8_t>(tag & 0x7F));
        m.front() = 0xF0;
        m.back() = 0xF7;
        return m;
    };
    std::size_t passed = 0;
    for (std::size_t stall = 1; stall <= 2; ++stall) {
        sys.ClearSent();
        for (int i = 0; i < 128; ++i) // 8 MiB
            ASSERT_TRUE(sys.Inject(sysex(i)));
        ASSERT_TRUE(PumpUntil([&] { return engine.MIDIInput1.MessageCount() == 0; }));
        const auto sent = sys.Sent();
        for (std::size_t i = 0; i < sent.size(); ++i)
            ASSERT_TRUE(sent[i] == sysex(static_cast<int>(i))) << "message " << i;
        passed += sent.size();
        EXPECT_EQ(passed + engine.MIDIInput1.SysExDropped(), 128 * stall);
    }
    EXPECT_GT(engine.MIDIInput1.SysExDropped(), 2u);
    EXPECT_EQ(reports, 1);
}

} // namespace
} // namespace velomire

namespace velomire {
namespace {

// Whole messages out of a device's events, as the input queue takes them.
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

} // namespace
} // namespace velomire
