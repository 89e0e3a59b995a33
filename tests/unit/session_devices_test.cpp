#include "session/session.h"
#include "support/fake_midi_system.h"
#include "core/midi/realtime_engine.h"
#include "support/recording_path.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace velomire {

// Found by argument lookup, so it cannot live in the unnamed namespace.
void PrintTo(const FakeMidiSystem::Event& e, std::ostream* os);
void PrintTo(const FakeMidiSystem::Event& e, std::ostream* os) {
    *os << e.what << ' ' << e.device;
}

namespace {

using Events = std::vector<FakeMidiSystem::Event>;
using Direction = Session::Direction;
using DeviceState = Session::DeviceState;

const std::string kVirtual = FakeMidiSystem::kVirtual;
const Bytes kLocalControlOff{0xB0, 0x7A, 0x00};

// What a fresh window plays with.
SessionState StartupState() {
    const PathTables t = StartupTables();
    SessionState s;
    s.notes = t.notes;
    s.channels = t.channels;
    return s;
}

// One keyboard and one synth, or two of each.
struct Rig {
    explicit Rig(std::vector<std::string> inputs = {"Keys A", "Keys B"},
                 std::vector<std::string> outputs = {"Synth A", "Synth B"}) {
        sys.inputs = std::move(inputs);
        sys.outputs = std::move(outputs);
        session.Start(StartupState());
    }
    FakeMidiSystem sys;
    Session session{sys};
};

TEST(SessionDevices, EachChoiceOpensItsDeviceByNameOrFails) {
    const struct {
        Direction d;
        std::string name;
        bool ok;
        std::string opened;
        DeviceState state;
    } rows[] = {
        {Direction::Output, kVirtual, true, kVirtual, DeviceState::Open},
        {Direction::Output, "Synth A", true, "Synth A", DeviceState::Open},
        {Direction::Output, "Synth B", true, "Synth B", DeviceState::Open},
        {Direction::Output, "Synth C", false, "", DeviceState::Failed},
        {Direction::Output, "", true, "", DeviceState::Off},
        {Direction::Input, "Keys A", true, "Keys A", DeviceState::Open},
        {Direction::Input, "Keys B", true, "Keys B", DeviceState::Open},
        {Direction::Input, "Keys C", false, "", DeviceState::Failed},
        {Direction::Input, "", true, "", DeviceState::Off},
    };
    for (const auto& r : rows) {
        const bool output = r.d == Direction::Output;
        SCOPED_TRACE((output ? "output " : "input ") + r.name);
        Rig rig;
        const bool ok = output ? rig.session.ChooseOutput(r.name) : rig.session.ChooseInput(r.name);
        EXPECT_EQ(ok, r.ok);
        EXPECT_EQ(output ? rig.sys.OpenedOutput() : rig.sys.OpenedInput(), r.opened);
        EXPECT_EQ(rig.session.State(r.d), r.state);
        EXPECT_EQ(rig.session.Chosen(r.d), r.name);
        // None chosen with nothing open touches no device.
        const Events tried{{output ? "out.open" : "in.open", r.name}};
        EXPECT_EQ(rig.sys.Events(), r.name.empty() ? Events{} : tried);
    }
}

TEST(SessionDevices, AnotherChoiceClosesTheOldFirstAndOnlyWhatIsOpenCloses) {
    Rig rig;
    for (const char* name : {"Synth A", "Synth B", FakeMidiSystem::kVirtual, "", ""})
        EXPECT_TRUE(rig.session.ChooseOutput(name)) << name;
    for (const char* name : {"Keys A", "Keys B", "", ""})
        EXPECT_TRUE(rig.session.ChooseInput(name)) << name;
    EXPECT_EQ(rig.sys.Events(), (Events{{"out.open", "Synth A"},
                                        {"out.close", "Synth A"},
                                        {"out.open", "Synth B"},
                                        {"out.close", "Synth B"},
                                        {"out.open", kVirtual},
                                        {"out.close", kVirtual},
                                        {"in.open", "Keys A"},
                                        {"in.close", "Keys A"},
                                        {"in.open", "Keys B"},
                                        {"in.close", "Keys B"}}));
    EXPECT_FALSE(rig.sys.Inject(0x90, 60, 100));
}

// A device that does not open leaves its side closed: nothing flows, nothing is sent, and
// the next choice, or the next look once it opens again, works.
TEST(SessionDevices, FailedOpenLeavesItClosedUntilItOpens) {
    Rig rig;
    rig.sys.failingDevices = {"Synth B", "Keys B"};
    ASSERT_TRUE(rig.session.ChooseOutput("Synth A"));
    ASSERT_TRUE(rig.session.ChooseInput("Keys A"));
    EXPECT_FALSE(rig.session.ChooseOutput("Synth B"));
    EXPECT_FALSE(rig.session.ChooseInput("Keys B"));
    EXPECT_EQ(rig.session.State(Direction::Output), DeviceState::Failed);
    EXPECT_EQ(rig.session.State(Direction::Input), DeviceState::Failed);
    EXPECT_EQ(rig.sys.OpenedOutput(), "");
    EXPECT_EQ(rig.sys.OpenedInput(), "");
    EXPECT_FALSE(rig.sys.Inject(0x90, 60, 100));
    rig.sys.ClearSent();
    rig.session.Panic();
    EXPECT_TRUE(rig.sys.Sent().empty());

    rig.sys.failingDevices.clear();
    rig.session.LookAtDevices();
    EXPECT_EQ(rig.sys.OpenedOutput(), "Synth B");
    EXPECT_EQ(rig.sys.OpenedInput(), "Keys B");
    EXPECT_EQ(rig.session.State(Direction::Input), DeviceState::Open);
    EXPECT_EQ(rig.sys.Sent(), std::vector<Bytes>{kLocalControlOff});
}

// Local Control Off follows every input choice, whatever became of it. A note held when the
// input changes is ended first: the old keyboard's note-off can never come.
TEST(SessionDevices, LocalControlOffFollowsEveryInputChoice) {
    Rig rig;
    rig.sys.failingDevices = {"Keys B"};
    ASSERT_TRUE(rig.session.ChooseOutput("Synth A"));
    ASSERT_TRUE(rig.session.ChooseInput("Keys A"));
    ASSERT_TRUE(rig.sys.Inject(0x90, 60, 100));
    rig.sys.ClearSent();
    rig.session.ChooseInput("Keys A");
    EXPECT_EQ(
        rig.sys.Sent(),
        (std::vector<Bytes>{{0x80, 60, 64}, {0xB0, 64, 0}, {0xB0, 123, 0}, kLocalControlOff}));
    for (const char* name : {"Keys A", "Keys B", "Keys C", ""}) {
        SCOPED_TRACE(name);
        rig.sys.ClearSent();
        rig.session.ChooseInput(name);
        EXPECT_EQ(rig.sys.Sent(), std::vector<Bytes>{kLocalControlOff});
    }
    // With no output nothing reaches any device.
    ASSERT_TRUE(rig.session.ChooseOutput(""));
    rig.sys.ClearSent();
    rig.session.ChooseInput("Keys A");
    ASSERT_TRUE(rig.sys.Inject(0x90, 62, 100));
    rig.session.Panic();
    EXPECT_TRUE(rig.sys.Sent().empty());
}

// A stop ends the sounding notes, then lifts the pedal and sends All Notes Off where a
// note or the pedal went since the start or the last such tail, then closes the output,
// then the input; once. An empty message stands for a panic.
TEST(SessionDevices, ShutdownEndsNotesLiftsThePedalThenClosesOutputThenInput) {
    const struct {
        const char* what;
        bool remap;
        std::vector<Bytes> played, offs;
        std::vector<std::uint8_t> pedalChannels;
    } rows[] = {
        {"held", false, {{0x92, 60, 1}, {0x95, 40, 1}}, {{0x82, 60, 64}, {0x85, 40, 64}}, {2, 5}},
        {"pedal", false, {{0x90, 60, 100}, {0x80, 60, 0}, {0xB3, 64, 1}}, {}, {0, 3}},
        {"remapped", true, {{0x97, 60, 100}}, {{0x80, 60, 64}}, {0}},
        {"nothing that sounds or holds", false, {{0x91, 60, 0}, {0xB2, 7, 1}, {0xC3, 5}}, {}, {}},
        {"since the panic", false, {{0x94, 60, 100}, {0xB1, 64, 1}, {}, {0xB6, 64, 0}}, {}, {6}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Rig rig({"Keys"}, {"Synth"});
        ASSERT_TRUE(rig.session.ChooseOutput("Synth"));
        ASSERT_TRUE(rig.session.ChooseInput("Keys"));
        EXPECT_EQ(rig.sys.Events(), (Events{{"out.open", "Synth"}, {"in.open", "Keys"}}));
        EXPECT_EQ(rig.sys.Sent(), std::vector<Bytes>{kLocalControlOff});
        rig.session.SetRemap(r.remap);
        for (const Bytes& m : r.played) {
            if (m.empty())
                rig.session.Panic();
            else
                ASSERT_TRUE(rig.sys.Inject(m));
        }
        rig.sys.ClearSent();
        rig.sys.ClearEvents();
        const Session::StopReport report = rig.session.Shutdown();
        std::vector<Bytes> stop = r.offs;
        for (const std::uint8_t c : r.pedalChannels) {
            stop.push_back({static_cast<std::uint8_t>(0xB0 | c), 64, 0});
            stop.push_back({static_cast<std::uint8_t>(0xB0 | c), 123, 0});
        }
        EXPECT_EQ(rig.sys.Sent(), stop) << Hex(rig.sys.Sent());
        EXPECT_EQ(rig.sys.Events(), (Events{{"out.close", "Synth"}, {"in.close", "Keys"}}));
        const int released = static_cast<int>(r.offs.size());
        EXPECT_EQ(std::pair(report.released, report.left), std::pair(released, released));
        EXPECT_TRUE(report.outputOpen);
        rig.sys.ClearSent();
        rig.sys.ClearEvents();
        rig.session.Shutdown();
        EXPECT_TRUE(rig.sys.Sent().empty()) << "sent again";
        EXPECT_TRUE(rig.sys.Events().empty()) << "closed again";
    }
}

// Devices unplugged while open are closed at the next look and waited for; choosing them
// again fails cleanly, and the others still work.
// An ALSA port lists its client and port numbers, which a device plugged in again may get
// anew: it is still the same device.
TEST(SessionDevices, ADeviceBackUnderNewPortNumbersIsReopened) {
    Rig rig({"Keys:Keys MIDI 1 24:0"}, {"Synth 28:0"});
    ASSERT_TRUE(rig.session.ChooseOutput("Synth 28:0"));
    ASSERT_TRUE(rig.session.ChooseInput("Keys:Keys MIDI 1 24:0"));
    rig.sys.Unplug("Keys:Keys MIDI 1 24:0");
    rig.sys.Unplug("Synth 28:0");
    rig.session.LookAtDevices();
    rig.sys.inputs = {"Keys:Keys MIDI 1 32:0"};
    rig.sys.outputs = {"Synth 33:0"};
    rig.session.LookAtDevices();
    EXPECT_EQ(rig.sys.OpenedInput(), "Keys:Keys MIDI 1 32:0");
    EXPECT_EQ(rig.sys.OpenedOutput(), "Synth 33:0");
}

TEST(SessionDevices, UnpluggedDevicesAreClosedAndAnotherChoiceWorks) {
    Rig rig;
    rig.session.LookAtDevices();
    EXPECT_EQ(rig.session.Sources(), (std::vector<std::string>{"Keys A", "Keys B"}));
    EXPECT_EQ(rig.session.Targets(), (std::vector<std::string>{kVirtual, "Synth A", "Synth B"}));
    ASSERT_TRUE(rig.session.ChooseOutput("Synth A"));
    ASSERT_TRUE(rig.session.ChooseInput("Keys A"));
    ASSERT_TRUE(rig.sys.Inject(0x90, 60, 100));
    QStringList news;
    QObject::connect(&rig.session, &Session::DeviceNews, &rig.session,
                     [&](const QString& line) { news << line; });

    rig.sys.Unplug("Keys A");
    rig.sys.Unplug("Synth A");
    rig.sys.ClearEvents();
    rig.sys.ClearSent();
    rig.session.LookAtDevices();
    EXPECT_EQ(rig.sys.Events(), (Events{{"out.close", "Synth A"}, {"in.close", "Keys A"}}));
    EXPECT_EQ(rig.session.State(Direction::Output), DeviceState::Missing);
    EXPECT_EQ(rig.session.State(Direction::Input), DeviceState::Missing);
    EXPECT_EQ(news, (QStringList{"output 'Synth A' disappeared; waiting for it",
                                 "input 'Keys A' disappeared; waiting for it"}));
    EXPECT_FALSE(rig.sys.Inject(0x80, 60, 0));
    rig.session.Panic();
    EXPECT_TRUE(rig.sys.Sent().empty());
    EXPECT_EQ(rig.session.Sources(), std::vector<std::string>{"Keys B"});
    EXPECT_EQ(rig.session.Targets(), (std::vector<std::string>{kVirtual, "Synth B"}));

    EXPECT_FALSE(rig.session.ChooseOutput("Synth A"));
    EXPECT_FALSE(rig.session.ChooseInput("Keys A"));
    EXPECT_TRUE(rig.session.ChooseOutput("Synth B"));
    EXPECT_TRUE(rig.session.ChooseInput("Keys B"));
    rig.sys.ClearSent();
    ASSERT_TRUE(rig.sys.Inject(0x90, 60, 100));
    EXPECT_EQ(rig.sys.Sent(), (std::vector<Bytes>{{0x90, 60, 100}}));
}

// No MIDI system at all: every open fails, the rest is harmless, and commands still run
// (a stop does not wait for them in vain).
TEST(SessionDevices, NoMidiSystemFailsCleanly) {
    NoMidiSystem none;
    {
        Session session(none);
        session.Start(StartupState());
        session.LookAtDevices();
        EXPECT_TRUE(session.Sources().empty());
        EXPECT_EQ(session.Targets(), std::vector<std::string>{none.VirtualOutputName()});
        EXPECT_FALSE(session.ChooseOutput(none.VirtualOutputName()));
        EXPECT_FALSE(session.ChooseInput("Keys"));
        EXPECT_TRUE(session.ChooseOutput(""));
        EXPECT_TRUE(session.ChooseInput(""));
        session.Panic();
        const Session::StopReport report = session.Shutdown();
        EXPECT_EQ(report.released + report.left, 0);
        EXPECT_FALSE(report.outputOpen);
    }
    RealtimeEngine engine;
    none.Attach(&engine);
    const std::uint64_t ticket = engine.Post(RealtimeEngine::Command::ReleaseAll);
    none.Kick();
    EXPECT_EQ(engine.CommandsRun(), ticket);
    none.Attach(nullptr);
}

// Keys the MIDI side played reach the window through its event loop, transposed as played.
TEST(SessionDevices, PlayedKeysReachTheWindowThroughItsEventLoop) {
    Rig rig;
    std::vector<Lit> lit;
    QObject::connect(&rig.session, &Session::KeySounding, &rig.session,
                     [&](int in, int out, int v, int m) { lit.push_back(On(in, out, v, m)); });
    QObject::connect(&rig.session, &Session::KeyReleased, &rig.session,
                     [&](int out) { lit.push_back(Off(out)); });
    rig.session.Transpose(2);
    ASSERT_TRUE(rig.session.ChooseInput("Keys A"));
    ASSERT_TRUE(rig.sys.Inject(0x90, 60, 100));
    ASSERT_TRUE(rig.sys.Inject(0x80, 60, 0));
    EXPECT_TRUE(PumpUntil([&] { return lit.size() >= 2; }));
    EXPECT_EQ(lit, (std::vector<Lit>{On(60, 62, 100, 100), Off(62)}));
}

// The first loss is said once, however many follow.
TEST(SessionDevices, LossesAreReportedOnce) {
    Rig rig;
    QStringList lost;
    QObject::connect(&rig.session, &Session::MessagesLost, &rig.session,
                     [&](const QString& line) { lost << line; });
    ASSERT_TRUE(rig.session.ChooseInput("Keys A"));
    Bytes tooLong(kMaxSysExBytes + 1, 0x11);
    tooLong.front() = 0xF0;
    tooLong.back() = 0xF7;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(rig.sys.Inject(tooLong));
        rig.session.LookAtDevices();
    }
    EXPECT_EQ(lost, QStringList{"MIDI data lost: 1 SysEx messages dropped (too long, or no room "
                                "left to wait)"});
    EXPECT_EQ(rig.session.CountLosses().sysexNoRoom, 2u);
}

} // namespace
} // namespace velomire
