#include "midi/engine.h"
#include "midi/fake_backend.h"
#include "midi/port_selection.h"
#include "support/test_helpers.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velomire {

// Found by argument lookup, so it cannot live in the unnamed namespace.
void PrintTo(const FakeMidiSystem::Event& e, std::ostream* os);
void PrintTo(const FakeMidiSystem::Event& e, std::ostream* os) {
    *os << e.what << ' ' << e.device;
}

namespace {

using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<FakeMidiSystem::Event>;

const std::string kVirtual = "Velomire Out (virtual)";
const Bytes kLocalControlOff{0xB0, 0x7A, 0x00};

class PortSelectionTest : public ::testing::Test {
protected:
    PortSelectionTest() {
        sys.inputs = {"Keys A", "Keys B"};
        sys.outputs = {"Synth A", "Synth B"};
        out.DeviceCount();
        in.DeviceCount();
        QObject::connect(&in, &MIDIInput::MessageReceived, [this] { ++events; });
    }

    // True when an injected message raises the message event.
    bool EventFires() {
        events = 0;
        if (!sys.Inject({0xF8}))
            return false;
        const bool fired = PumpUntil([this] { return events > 0; }, std::chrono::milliseconds(250));
        while (in.MessageCount() > 0)
            in.Action(PortAction::TakeNext);
        return fired;
    }

    FakeMidiSystem sys;
    MIDIOutput out{sys};
    MIDIInput in{sys};
    int events = 0;
};

TEST_F(PortSelectionTest, OutputPositionsMapToDevices) {
    const struct {
        int position;
        bool ok;
        const char* opened; // "" when nothing opens
    } rows[] = {
        {1, true, "Velomire Out (virtual)"},
        {2, true, "Synth A"},
        {3, true, "Synth B"},
        {4, false, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.position);
        FakeMidiSystem fresh;
        fresh.outputs = {"Synth A", "Synth B"};
        MIDIOutput port(fresh);
        EXPECT_EQ(OpenMidiOut(port, r.position), r.ok);
        EXPECT_EQ(port.State() != 0, r.ok);
        EXPECT_EQ(fresh.OpenOutput(), r.opened);
        EXPECT_EQ(port.DeviceID(), r.position - kFirstOutputPosition);
    }
}

TEST_F(PortSelectionTest, InputPositionsMapToDevices) {
    const struct {
        int position;
        bool ok;
        const char* opened;
    } rows[] = {
        {1, true, "Keys A"},
        {2, true, "Keys B"},
        {3, false, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.position);
        FakeMidiSystem fresh;
        fresh.inputs = {"Keys A", "Keys B"};
        MIDIInput port(fresh);
        EXPECT_EQ(OpenMidiIn(port, r.position), r.ok);
        EXPECT_EQ(port.State() != 0, r.ok);
        EXPECT_EQ(fresh.OpenInput(), r.opened);
        EXPECT_EQ(port.DeviceID(), r.position - kFirstInputPosition);
    }
}

TEST_F(PortSelectionTest, NotEnabledClosesAnOpenOutput) {
    EXPECT_TRUE(OpenMidiOut(out, kNotEnabled));
    EXPECT_EQ(out.State(), 0);
    EXPECT_TRUE(sys.Events().empty());

    ASSERT_TRUE(OpenMidiOut(out, 2));
    EXPECT_TRUE(OpenMidiOut(out, kNotEnabled));
    EXPECT_EQ(out.State(), 0);
    EXPECT_EQ(sys.OpenOutput(), "");
    EXPECT_EQ(sys.Events(), (Events{{"out.open", "Synth A"}, {"out.close", "Synth A"}}));
}

TEST_F(PortSelectionTest, ChoosingAnotherOutputClosesFirst) {
    ASSERT_TRUE(OpenMidiOut(out, 2));
    ASSERT_TRUE(OpenMidiOut(out, 3));
    ASSERT_TRUE(OpenMidiOut(out, 1));
    EXPECT_EQ(sys.Events(), (Events{{"out.open", "Synth A"},
                                    {"out.close", "Synth A"},
                                    {"out.open", "Synth B"},
                                    {"out.close", "Synth B"},
                                    {"out.open", kVirtual}}));
}

TEST_F(PortSelectionTest, FailedOutputOpenReturnsFalseAndLeavesItClosed) {
    sys.failingDevices = {"Synth B"};
    ASSERT_TRUE(OpenMidiOut(out, 2));
    EXPECT_FALSE(OpenMidiOut(out, 3));
    EXPECT_EQ(out.State(), 0);
    EXPECT_EQ(sys.OpenOutput(), "");
    EXPECT_EQ(sys.Events(),
              (Events{{"out.open", "Synth A"}, {"out.close", "Synth A"}, {"out.open", "Synth B"}}));
    // A send now goes nowhere and harms nothing.
    SendLocalControlOff(out);
    EXPECT_TRUE(sys.Sent().empty());
    // The next choice works.
    EXPECT_TRUE(OpenMidiOut(out, 1));
    EXPECT_EQ(sys.OpenOutput(), kVirtual);
}

TEST_F(PortSelectionTest, ChoosingAnotherInputClosesFirstAndStartsQueueing) {
    ASSERT_TRUE(OpenMidiIn(in, 1));
    ASSERT_TRUE(sys.Inject(0x90, 60, 100)); // left unread on Keys A
    ASSERT_TRUE(OpenMidiIn(in, 2));
    EXPECT_EQ(sys.Events(),
              (Events{{"in.open", "Keys A"}, {"in.close", "Keys A"}, {"in.open", "Keys B"}}));
    EXPECT_EQ(in.MessageCount(), 0) << "a message of the old device survived the reopen";
    EXPECT_TRUE(EventFires());
}

TEST_F(PortSelectionTest, OpenedInputDropsActiveSensing) {
    ASSERT_TRUE(OpenMidiIn(in, 1));
    ASSERT_TRUE(sys.Inject({0xFE}));
    ASSERT_TRUE(sys.Inject({0xF8}));
    EXPECT_EQ(in.MessageCount(), 1);
    EXPECT_EQ(in.Status(), 0xF8);
}

TEST_F(PortSelectionTest, NotEnabledClosesAnOpenInput) {
    EXPECT_TRUE(OpenMidiIn(in, kNotEnabled));
    EXPECT_EQ(in.State(), 0);
    EXPECT_TRUE(sys.Events().empty());

    ASSERT_TRUE(OpenMidiIn(in, 1));
    ASSERT_TRUE(EventFires());
    EXPECT_TRUE(OpenMidiIn(in, kNotEnabled));
    EXPECT_EQ(in.State(), 0);
    EXPECT_EQ(sys.Events(), (Events{{"in.open", "Keys A"}, {"in.close", "Keys A"}}));
    EXPECT_FALSE(EventFires());
}

TEST_F(PortSelectionTest, FailedInputOpenLeavesTheEventDisabled) {
    sys.failingDevices = {"Keys B"};
    ASSERT_TRUE(OpenMidiIn(in, 1));
    ASSERT_TRUE(EventFires());
    EXPECT_FALSE(OpenMidiIn(in, 2));
    EXPECT_EQ(in.State(), 0);
    EXPECT_EQ(sys.OpenInput(), "");

    // Opened by hand afterwards, the port must still not raise the event.
    in.SetDeviceID(0);
    in.Action(PortAction::Open);
    in.Action(PortAction::Start);
    ASSERT_EQ(in.State(), 1);
    ASSERT_TRUE(sys.Inject({0xF8}));
    Pump();
    events = 0;
    Pump();
    EXPECT_EQ(events, 0);
    EXPECT_EQ(in.MessageCount(), 1);
}

TEST_F(PortSelectionTest, CloseOnlyClosesWhatIsOpen) {
    CloseMidiOut(out);
    CloseMidiIn(in);
    EXPECT_TRUE(sys.Events().empty());

    ASSERT_TRUE(OpenMidiOut(out, 2));
    ASSERT_TRUE(OpenMidiIn(in, 1));
    CloseMidiOut(out);
    CloseMidiIn(in);
    CloseMidiOut(out);
    CloseMidiIn(in);
    EXPECT_EQ(out.State(), 0);
    EXPECT_EQ(in.State(), 0);
    EXPECT_EQ(sys.Events(), (Events{{"out.open", "Synth A"},
                                    {"in.open", "Keys A"},
                                    {"out.close", "Synth A"},
                                    {"in.close", "Keys A"}}));
    EXPECT_FALSE(sys.Inject({0xF8}));
}

TEST_F(PortSelectionTest, LocalControlOffAfterAnotherMessage) {
    ASSERT_TRUE(OpenMidiOut(out, 2));
    out.SetStatus(0xE3);
    out.SetData1(0x12);
    out.SetData2(0x34);
    out.Action(PortAction::Send);
    sys.ClearSent();
    SendLocalControlOff(out);
    EXPECT_EQ(sys.Sent(), std::vector<Bytes>{kLocalControlOff});
}

// One keyboard, one synth: output position 2, input position 1, then Local Control Off.
TEST_F(PortSelectionTest, StartupWithOneDeviceEach) {
    FakeMidiSystem one;
    one.inputs = {"Keys"};
    one.outputs = {"Synth"};
    Engine engine(one);
    ASSERT_TRUE(OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition));
    ASSERT_TRUE(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));
    SendLocalControlOff(engine.MIDIOutput1);
    EXPECT_EQ(one.Events(), (Events{{"out.open", "Synth"}, {"in.open", "Keys"}}));
    EXPECT_EQ(one.Sent(), std::vector<Bytes>{kLocalControlOff});

    // The path is live: a note reaches the output.
    engine.path.SetTransposition(0);
    engine.path.SetRemapAll(false);
    SetKeyStartupValues(engine.notes[60], 60);
    one.ClearSent();
    ASSERT_TRUE(one.Inject(0x90, 60, 100));
    ASSERT_TRUE(PumpUntil([&] { return !one.Sent().empty(); }));
    EXPECT_EQ(one.Sent(), (std::vector<Bytes>{{0x90, 60, 100}}));

    // Shutdown ends the held note and lifts the pedal on its channel, then closes the
    // output, then the input.
    one.ClearEvents();
    one.ClearSent();
    engine.Shutdown();
    EXPECT_EQ(one.Events(), (Events{{"out.close", "Synth"}, {"in.close", "Keys"}}));
    EXPECT_EQ(one.Sent(), (std::vector<Bytes>{{0x80, 60, 64}, {0xB0, 64, 0}, {0xB0, 123, 0}}));
}

TEST_F(PortSelectionTest, NoMidiSystemFailsCleanly) {
    NoMidiSystem none;
    MIDIOutput o(none);
    MIDIInput i(none);
    EXPECT_EQ(o.DeviceCount(), 0);
    EXPECT_EQ(i.DeviceCount(), 0);
    EXPECT_FALSE(OpenMidiOut(o, 1));
    EXPECT_FALSE(OpenMidiOut(o, 2));
    EXPECT_FALSE(OpenMidiIn(i, 1));
    EXPECT_TRUE(OpenMidiOut(o, kNotEnabled));
    EXPECT_TRUE(OpenMidiIn(i, kNotEnabled));
    SendLocalControlOff(o);
    CloseMidiOut(o);
    CloseMidiIn(i);
}

// Devices unplugged while open: sends and closes survive, and the next choice works.
TEST_F(PortSelectionTest, UnpluggedDevicesThenANewChoice) {
    Engine engine(sys);
    engine.path.SetTransposition(0);
    engine.path.SetRemapAll(false);
    SetKeyStartupValues(engine.notes[60], 60);
    ASSERT_TRUE(OpenMidiOut(engine.MIDIOutput1, 2));
    ASSERT_TRUE(OpenMidiIn(engine.MIDIInput1, 1));
    ASSERT_TRUE(sys.Inject(0x90, 60, 100));
    ASSERT_TRUE(PumpUntil([&] { return sys.Sent().size() == 1; }));

    sys.Unplug("Keys A");
    sys.Unplug("Synth A");
    EXPECT_FALSE(sys.Inject(0x80, 60, 0));
    SendLocalControlOff(engine.MIDIOutput1);
    engine.path.SendPanic(engine.MIDIOutput1);
    Pump();
    EXPECT_EQ(sys.Sent().size(), 1u);

    // Choosing the vanished devices again fails cleanly.
    EXPECT_FALSE(OpenMidiOut(engine.MIDIOutput1, 2));
    EXPECT_FALSE(OpenMidiIn(engine.MIDIInput1, 1));

    // The lists the user still sees name the other devices at the same positions.
    EXPECT_TRUE(OpenMidiOut(engine.MIDIOutput1, 3));
    EXPECT_TRUE(OpenMidiIn(engine.MIDIInput1, 2));
    EXPECT_EQ(sys.OpenOutput(), "Synth B");
    EXPECT_EQ(sys.OpenInput(), "Keys B");
    sys.ClearSent();
    ASSERT_TRUE(sys.Inject(0x90, 60, 100));
    ASSERT_TRUE(PumpUntil([&] { return !sys.Sent().empty(); }));
    EXPECT_EQ(sys.Sent(), (std::vector<Bytes>{{0x90, 60, 100}}));

    // A refreshed list has the remaining device first.
    EXPECT_EQ(engine.MIDIInput1.DeviceCount(), 1);
    EXPECT_EQ(engine.MIDIOutput1.DeviceCount(), 1);
    EXPECT_TRUE(OpenMidiIn(engine.MIDIInput1, 1));
    EXPECT_TRUE(OpenMidiOut(engine.MIDIOutput1, 2));
    EXPECT_EQ(sys.OpenOutput(), "Synth B");
    EXPECT_EQ(sys.OpenInput(), "Keys B");
}

} // namespace
} // namespace velomire
