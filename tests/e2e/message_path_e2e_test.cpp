#include "app/form_midi.h"
#include "app/message_box.h"
#include "e2e/jack_harness.h"
#include "midi/engine.h"
#include "midi/port_selection.h"
#include "midi/rtmidi_backend.h"
#include "support/test_helpers.h"
#include "ui_form_midi.h"
#include "velocity/note_table.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <sched.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>

namespace velomire::e2e {
namespace {

constexpr const char* kPeerName = "e2e-keys";
constexpr auto kReplyTimeout = std::chrono::seconds(5);

void PumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::vector<int> UsableCpus() {
    cpu_set_t set;
    std::vector<int> cpus;
    if (::sched_getaffinity(0, sizeof set, &set) != 0)
        return cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set))
            cpus.push_back(c);
    return cpus;
}

bool PinCallingThread(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::sched_setaffinity(0, sizeof one, &one) == 0;
}

std::uint8_t Clamp7(int v) {
    return static_cast<std::uint8_t>(std::clamp(v, 0, 127));
}

// Velomire running on a private JACK server, wired to a peer that plays into its input and
// records its output.
class JackRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        // The peer's ports must exist before Velomire lists its devices.
        ASSERT_NO_FATAL_FAILURE(OpenPeer());
        // JACK's threads inherit the CPUs of the thread that creates them. Velomire's get
        // the last CPU and its window thread then moves to the first, so the two run side by
        // side as on a desktop instead of taking turns on one core (which hides races).
        const std::vector<int> cpus = UsableCpus();
        if (cpus.size() >= 2)
            pinned_ = PinCallingThread(cpus.back());
        choice_ = ChooseMidiSystem(MidiApiChoice::Jack);
        if (pinned_)
            PinCallingThread(cpus.front());
        ASSERT_TRUE(choice_.available) << choice_.status;
        engine_ = std::make_unique<Engine>(*choice_.system);
        // What startup leaves: straight curves, identity notes and channels.
        for (int n = 0; n < kNoteTableSize; ++n)
            SetKeyStartupValues(engine_->notes[static_cast<std::size_t>(n)], n);
        engine_->path.SetTransposition(0);
        engine_->path.SetRemapAll(false);
        ASSERT_NO_FATAL_FAILURE(OpenPortsOnPeer());
    }

    void TearDown() override {
        if (pinned_)
            ::sched_setaffinity(0, sizeof original_, &original_);
        engine_.reset();
        choice_.system.reset();
        peer_.reset();
        server_.Stop();
    }

    void OpenPeer() {
        peer_ = std::make_unique<JackPeer>(kPeerName);
        std::string error;
        ASSERT_TRUE(peer_->Open(error)) << error;
    }

    // List positions of the peer's ports after enumerating afresh; -1 when not listed.
    int InputPosition() {
        const int count = engine_->MIDIInput1.DeviceCount();
        for (int i = 0; i < count; ++i)
            if (engine_->MIDIInput1.DeviceName(i).toStdString() == peer_->OutPortName())
                return i + kFirstInputPosition;
        return -1;
    }
    int OutputPosition() {
        const int count = engine_->MIDIOutput1.DeviceCount();
        for (int i = 0; i < count; ++i)
            if (engine_->MIDIOutput1.DeviceName(i).toStdString() == peer_->InPortName())
                return i + kFirstOutputPosition;
        return -1;
    }

    void OpenPortsOnPeer() {
        const int in = InputPosition();
        const int out = OutputPosition();
        ASSERT_EQ(in, kFirstInputPosition) << "input list does not start with the peer";
        ASSERT_EQ(out, kFirstOutputPosition) << "output list does not start with the peer";
        ASSERT_TRUE(OpenMidiIn(engine_->MIDIInput1, in));
        ASSERT_TRUE(OpenMidiOut(engine_->MIDIOutput1, out));
        ASSERT_EQ(peer_->Connections(peer_->OutPortName()).size(), 1u);
        ASSERT_EQ(peer_->Connections(peer_->InPortName()).size(), 1u);
    }

    // Plays the messages followed by a marker that passes whole whatever the settings, and
    // returns what Velomire sent before the marker came back.
    std::vector<Bytes> Exchange(const std::vector<Bytes>& messages) {
        const std::size_t start = peer_->ReceivedCount();
        const Bytes marker = {0xF0, 0x7D, static_cast<std::uint8_t>(++markers_ & 0x7F), 0xF7};
        for (const Bytes& m : messages)
            EXPECT_TRUE(peer_->Send(m));
        EXPECT_TRUE(peer_->Send(marker));
        auto markerBack = [&] {
            const std::size_t count = peer_->ReceivedCount();
            return count > start && peer_->Received(count - 1).Message() == marker;
        };
        const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
        while (!markerBack() && std::chrono::steady_clock::now() < deadline)
            peer_->WaitForReceived(peer_->ReceivedCount() + 1, std::chrono::milliseconds(10),
                                   &PumpEvents);
        std::vector<Bytes> replies = peer_->ReceivedMessages(start);
        if (!markerBack()) {
            ADD_FAILURE() << "no reply within " << kReplyTimeout.count()
                          << " s; received: " << Hex(replies);
            return replies;
        }
        replies.pop_back();
        return replies;
    }

    void Configure(int transpose, bool remap) {
        engine_->path.SetTransposition(transpose);
        engine_->path.SetRemapAll(remap);
    }

    JackServer server_;
    std::unique_ptr<JackPeer> peer_;
    MidiSystemChoice choice_;
    std::unique_ptr<Engine> engine_;
    int markers_ = 0;
    bool pinned_ = false;
    static inline cpu_set_t original_ = [] {
        cpu_set_t set;
        ::sched_getaffinity(0, sizeof set, &set);
        return set;
    }();
};

TEST_F(JackRoundTrip, ListsOfferThePeerAndHideVelomiresOwnPorts) {
    // Velomire's ports are registered now; enumerating again must not offer them.
    ASSERT_EQ(engine_->MIDIInput1.DeviceCount(), 1);
    EXPECT_EQ(engine_->MIDIInput1.DeviceName(0).toStdString(), peer_->OutPortName());
    ASSERT_EQ(engine_->MIDIOutput1.DeviceCount(), 1);
    EXPECT_EQ(engine_->MIDIOutput1.DeviceName(0).toStdString(), peer_->InPortName());

    const std::string in = peer_->Connections(peer_->OutPortName()).at(0);
    const std::string out = peer_->Connections(peer_->InPortName()).at(0);
    EXPECT_TRUE(IsOwnPort(in)) << in;
    EXPECT_TRUE(IsOwnPort(out)) << out;
    EXPECT_TRUE(in.ends_with(std::string(":") + kInputPortName)) << in;
    EXPECT_TRUE(out.ends_with(std::string(":") + kOutputPortName)) << out;
    // A client of its own for each direction: one client for both would close a loop with
    // this peer in JACK's graph, which JACK runs by delaying a connection one period.
    EXPECT_NE(in.substr(0, in.find(':')), out.substr(0, out.find(':'))) << in << ", " << out;
    EXPECT_EQ(out, std::string(kClientName) + ":" + kOutputPortName);
    RecordProperty("velomire_input_port", in);
    RecordProperty("velomire_output_port", out);
}

TEST_F(JackRoundTrip, NoteOnVelocityFollowsItsKeysCurve) {
    struct Curve {
        int key;
        double exp;
        int vcut;
        int vmax;
    };
    const Curve curves[] = {
        {60, 2.0, 0, 127},  {61, 0.5, 20, 100}, {62, 1.0, 0, 0},      {21, 3.0, 64, 127},
        {108, 0.25, 1, 90}, {0, 1.5, 0, 127},   {127, 1.0, 127, 127},
    };
    const int velocities[] = {1, 19, 20, 63, 64, 100, 126, 127};

    int channel = 0;
    for (const Curve& c : curves) {
        SCOPED_TRACE("key " + std::to_string(c.key));
        NoteSetting& entry = engine_->notes[static_cast<std::size_t>(c.key)];
        entry.exp = c.exp;
        entry.vcut = static_cast<std::uint8_t>(c.vcut);
        entry.vmax = static_cast<std::uint8_t>(c.vmax);
        const auto key = static_cast<std::uint8_t>(c.key);

        std::vector<Bytes> played, expected;
        for (const int v : velocities) {
            const auto status = static_cast<std::uint8_t>(channel++ % 16);
            played.push_back(
                {static_cast<std::uint8_t>(0x90 | status), key, static_cast<std::uint8_t>(v)});
            expected.push_back(
                {static_cast<std::uint8_t>(0x90 | status), key, MapVelocity(v, entry)});
            // Release velocity and the velocity-0 note-off pass unchanged.
            played.push_back({static_cast<std::uint8_t>(0x80 | status), key, 33});
            expected.push_back(played.back());
        }
        played.push_back({0x90, key, 0});
        expected.push_back({0x90, key, 0});
        EXPECT_EQ(Exchange(played), expected);
    }
}

TEST_F(JackRoundTrip, MessagesLeaveAsTranspositionAndRemapSay) {
    Bytes longSysEx = {0xF0, 0x43};
    for (int i = 0; i < 100; ++i)
        longSysEx.push_back(static_cast<std::uint8_t>(i));
    longSysEx.push_back(0xF7);

    struct Case {
        const char* what;
        int transpose;
        bool remap;
        Bytes in;
        std::vector<Bytes> out;
    };
    const Case cases[] = {
        {"note up", 5, false, {0x90, 60, 100}, {{0x90, 65, 100}}},
        {"note-off up", 5, false, {0x81, 60, 10}, {{0x81, 65, 10}}},
        {"note down clamps at 0", -12, false, {0x92, 5, 64}, {{0x92, 0, 64}}},
        {"note up clamps at 127", 12, false, {0x90, 115, 127}, {{0x90, 127, 127}}},
        {"sustain keeps its number", 2, false, {0xB0, 64, 127}, {{0xB0, 64, 127}}},
        {"controller keeps its number", -7, true, {0xB5, 7, 100}, {{0xB0, 7, 100}}},
        {"remap moves notes to channel 1", 0, true, {0x93, 60, 90}, {{0x90, 60, 90}}},
        {"program change stays two bytes", 3, true, {0xC5, 10}, {{0xC0, 10}}},
        {"channel pressure", 3, true, {0xD3, 50}, {{0xD0, 50}}},
        {"pitch bend", 7, false, {0xE1, 0x00, 0x40}, {{0xE1, 0x00, 0x40}}},
        {"clock is one byte", 5, true, {0xF8}, {{0xF8}}},
        {"start", 5, true, {0xFA}, {{0xFA}}},
        {"song position", 5, true, {0xF2, 0x10, 0x20}, {{0xF2, 0x10, 0x20}}},
        {"active sensing is dropped", 0, true, {0xFE}, {}},
        {"short SysEx passes whole",
         5,
         true,
         {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
         {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}},
        {"long SysEx passes whole", -3, true, longSysEx, {longSysEx}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Configure(c.transpose, c.remap);
        EXPECT_EQ(Exchange({c.in}), c.out) << "played " << Hex(c.in);
    }
}

TEST_F(JackRoundTrip, NoteEndLeavesWhereItsStartWent) {
    struct Change {
        const char* what;
        int transpose;
        bool remap;
    };
    const Change changes[] = {{"transpose +5", 5, false},
                              {"remap to channel 1", 0, true},
                              {"transpose -3 and remap", -3, true}};
    const Bytes endings[] = {{0x83, 60, 40}, {0x93, 60, 0}};

    for (const Change& change : changes) {
        for (const Bytes& end : endings) {
            SCOPED_TRACE(std::string(change.what) + ", ending " + Hex(end));
            Configure(0, false);
            EXPECT_EQ(Exchange({{0x93, 60, 100}}), (std::vector<Bytes>{{0x93, 60, 100}}));

            Configure(change.transpose, change.remap);
            // Pressure and the end of the held note go where the note went.
            EXPECT_EQ(Exchange({{0xA3, 60, 20}, end}),
                      (std::vector<Bytes>{{0xA3, 60, 20}, {end[0], 60, end[2]}}));

            // A new note follows the new settings, and so does its end.
            const auto channel = static_cast<std::uint8_t>(change.remap ? 0 : 3);
            const std::uint8_t moved = Clamp7(60 + change.transpose);
            EXPECT_EQ(Exchange({{0x93, 60, 100}, end}),
                      (std::vector<Bytes>{
                          {static_cast<std::uint8_t>(0x90 | channel), moved, 100},
                          {static_cast<std::uint8_t>((end[0] & 0xF0) | channel), moved, end[2]}}));
        }
    }
    EXPECT_EQ(engine_->path.SoundingCount(), 0);
}

TEST_F(JackRoundTrip, VirtualPortCarriesMessagesToAPeerThatConnectsToIt) {
    // Position 1 is Velomire's own port, connected to nothing until another program does.
    ASSERT_TRUE(OpenMidiOut(engine_->MIDIOutput1, kFirstOutputPosition - 1));
    EXPECT_TRUE(peer_->Connections(peer_->InPortName()).empty());
    const std::string virtualPort = engine_->MIDIOutput1.DeviceName(-1).toStdString();
    EXPECT_TRUE(IsOwnPort(virtualPort)) << virtualPort;
    EXPECT_TRUE(virtualPort.ends_with(std::string(":") + kOutputPortName)) << virtualPort;
    RecordProperty("velomire_virtual_port", virtualPort);

    ASSERT_TRUE(peer_->Connect(virtualPort, peer_->InPortName()));
    Configure(5, false);
    EXPECT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}, {0xF0, 0x7E, 0x01, 0xF7}}),
              (std::vector<Bytes>{{0x90, 65, 100}, {0x80, 65, 0}, {0xF0, 0x7E, 0x01, 0xF7}}));
}

// Note-ons, note-offs and controllers on all channels, with what Velomire must make of
// them: transposed by kBurstTranspose, remapped to channel 1, every key on its own curve.
struct Traffic {
    std::vector<Bytes> played;
    std::vector<Bytes> expected;
};
constexpr int kBurstTranspose = -2;

class JackBurst : public JackRoundTrip {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(JackRoundTrip::SetUp());
        for (int n = 0; n <= 127; ++n) {
            NoteSetting& s = engine_->notes[static_cast<std::size_t>(n)];
            s.exp = 0.5 + (n % 7) * 0.25;
            s.vcut = static_cast<std::uint8_t>(n % 13);
            s.vmax = static_cast<std::uint8_t>(80 + n % 48);
        }
        Configure(kBurstTranspose, true);
    }

    Traffic MixedTraffic(int count, unsigned seed) const {
        std::mt19937 random(seed);
        auto pick = [&](int n) {
            return static_cast<std::uint8_t>(random() % static_cast<unsigned>(n));
        };
        Traffic t;
        for (int i = 0; i < count; ++i) {
            const std::uint8_t channel = pick(16);
            const int kind = pick(100);
            if (kind < 45) {
                const auto key = static_cast<std::uint8_t>(kLowestKey + pick(88));
                const auto velocity = static_cast<std::uint8_t>(1 + pick(127));
                t.played.push_back({static_cast<std::uint8_t>(0x90 | channel), key, velocity});
                t.expected.push_back({0x90, Clamp7(key + kBurstTranspose),
                                      MapVelocity(velocity, engine_->notes[key])});
            } else if (kind < 80) {
                const auto key = static_cast<std::uint8_t>(kLowestKey + pick(88));
                const std::uint8_t velocity = pick(128);
                t.played.push_back({static_cast<std::uint8_t>(0x80 | channel), key, velocity});
                t.expected.push_back({0x80, Clamp7(key + kBurstTranspose), velocity});
            } else {
                const std::uint8_t controller = pick(120);
                const std::uint8_t value = pick(128);
                t.played.push_back({static_cast<std::uint8_t>(0xB0 | channel), controller, value});
                t.expected.push_back({0xB0, controller, value});
            }
        }
        return t;
    }

    // Waits until `count` events have come back, or until Velomire has nothing left to send
    // and nothing has arrived for a while.
    bool WaitForOutput(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::size_t seen = peer_->ReceivedCount();
        auto lastProgress = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < deadline) {
            if (peer_->WaitForReceived(count, std::chrono::milliseconds(20), &PumpEvents))
                return true;
            const auto now = std::chrono::steady_clock::now();
            if (peer_->ReceivedCount() != seen) {
                seen = peer_->ReceivedCount();
                lastProgress = now;
            } else if (engine_->MIDIInput1.MessageCount() == 0 && peer_->PendingSends() == 0 &&
                       now - lastProgress > std::chrono::milliseconds(300)) {
                return false;
            }
        }
        return false;
    }

    void ExpectArrivedInOrder(const Traffic& t) {
        const std::vector<Bytes> received = peer_->ReceivedMessages();
        EXPECT_EQ(received.size(), t.expected.size())
            << peer_->PendingSends() << " still queued at the peer, "
            << engine_->MIDIInput1.MessageCount() << " waiting in Velomire's input";
        EXPECT_EQ(engine_->MIDIInput1.Dropped(), 0u);
        EXPECT_EQ(peer_->Lost(), 0u);
        const auto common =
            static_cast<std::ptrdiff_t>(std::min(received.size(), t.expected.size()));
        const auto mismatch =
            std::mismatch(received.begin(), received.begin() + common, t.expected.begin());
        if (mismatch.first != received.begin() + common) {
            const auto at = static_cast<std::size_t>(mismatch.first - received.begin());
            ADD_FAILURE() << "message " << at << " played as " << Hex(t.played[at]) << " left as "
                          << Hex(*mismatch.first) << ", expected " << Hex(*mismatch.second);
        }
        for (std::size_t i = 1; i < received.size(); ++i)
            ASSERT_LE(peer_->Received(i - 1).frame, peer_->Received(i).frame) << "event " << i;
    }
};

TEST_F(JackBurst, TwentyThousandMixedMessagesArriveInOrderAndMapped) {
    constexpr int kMessages = 20000;
    // 16 events per 64-frame period is 12,000 messages a second, four times what a MIDI
    // cable carries, and keeps every JACK buffer far from full.
    constexpr unsigned kPerPeriod = 16;
    const Traffic traffic = MixedTraffic(kMessages, 20240607);

    peer_->SetMaxPerPeriod(kPerPeriod);
    const auto started = std::chrono::steady_clock::now();
    for (const Bytes& m : traffic.played)
        ASSERT_TRUE(peer_->Send(m));
    WaitForOutput(kMessages);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    RecordProperty("burst_ms", static_cast<int>(took.count()));
    ExpectArrivedInOrder(traffic);
}

TEST_F(JackBurst, BacklogFromABusyWindowArrivesWhole) {
    // The window's thread is busy while a sequencer plays: the input queue holds seconds of
    // music for exactly this, and all of it must go out once the window drains it. Losses
    // depend on how the drain races the JACK cycle, hence several rounds.
    constexpr int kRounds = 3;
    constexpr int kBacklog = 20000;
    Traffic all;
    peer_->SetMaxPerPeriod(512);
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Traffic traffic = MixedTraffic(kBacklog, 7u + static_cast<unsigned>(round));
        all.played.insert(all.played.end(), traffic.played.begin(), traffic.played.end());
        all.expected.insert(all.expected.end(), traffic.expected.begin(), traffic.expected.end());
        for (const Bytes& m : traffic.played)
            ASSERT_TRUE(peer_->Send(m));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (engine_->MIDIInput1.MessageCount() < kBacklog &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(engine_->MIDIInput1.MessageCount(), kBacklog) << "no backlog built up";
        if (!WaitForOutput(all.expected.size()))
            break;
    }
    ExpectArrivedInOrder(all);
}

TEST_F(JackRoundTrip, SurvivesThePeerVanishingAndReopensByPosition) {
    ASSERT_EQ(Exchange({{0x90, 60, 100}}), (std::vector<Bytes>{{0x90, 60, 100}}));

    // The instrument goes away while both of Velomire's ports are connected to it, and a
    // note is still sounding.
    peer_->Close();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until)
        PumpEvents();
    // Sending into a port with no connection is harmless.
    engine_->path.Process(0x80, 60, 0, engine_->MIDIOutput1);
    engine_->path.SendPanic(engine_->MIDIOutput1);
    EXPECT_EQ(engine_->MIDIInput1.DeviceCount(), 0);
    EXPECT_EQ(engine_->MIDIOutput1.DeviceCount(), 0);
    EXPECT_FALSE(OpenMidiIn(engine_->MIDIInput1, kFirstInputPosition));
    EXPECT_FALSE(OpenMidiOut(engine_->MIDIOutput1, kFirstOutputPosition));

    // It comes back under the same client and port names.
    ASSERT_NO_FATAL_FAILURE(OpenPeer());
    ASSERT_NO_FATAL_FAILURE(OpenPortsOnPeer());
    Configure(5, false);
    EXPECT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}, {0xF8}}),
              (std::vector<Bytes>{{0x90, 65, 100}, {0x80, 65, 0}, {0xF8}}));
}

TEST_F(JackRoundTrip, ReselectingAfterAServerRestartCarriesMusicAgain) {
    ASSERT_EQ(Exchange({{0x90, 60, 100}}), (std::vector<Bytes>{{0x90, 60, 100}}));

    // Only Velomire is to meet the server's death: the test's own client leaves first.
    peer_.reset();
    server_.Stop();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until)
        PumpEvents();
    EXPECT_FALSE(engine_->MIDIOutput1.SystemAlive());
    // Playing and panicking into a dead server are harmless, and choosing a device fails
    // plainly while no server runs.
    engine_->path.Process(0x80, 60, 0, engine_->MIDIOutput1);
    engine_->path.SendPanic(engine_->MIDIOutput1);
    EXPECT_FALSE(OpenMidiIn(engine_->MIDIInput1, kFirstInputPosition));
    EXPECT_FALSE(OpenMidiOut(engine_->MIDIOutput1, kFirstOutputPosition));

    // The server and the instrument are back. The window's lists are those made at start:
    // choosing the same positions again, without listing afresh, is all the user does.
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_NO_FATAL_FAILURE(OpenPeer());
    EXPECT_TRUE(OpenMidiIn(engine_->MIDIInput1, kFirstInputPosition));
    EXPECT_TRUE(OpenMidiOut(engine_->MIDIOutput1, kFirstOutputPosition));
    EXPECT_TRUE(engine_->MIDIOutput1.SystemAlive());
    Configure(5, false);
    EXPECT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}, {0xF8}}),
              (std::vector<Bytes>{{0x90, 65, 100}, {0x80, 65, 0}, {0xF8}}));
}

// Records what the window would have said in a box.
class RecordedBoxes final : public MessageBoxes {
public:
    void Inform(const QString&, const QString& text) override { said.push_back(text); }
    bool AskYesNo(const QString&, const QString& text) override {
        said.push_back(text);
        return false;
    }
    std::vector<QString> said;
};

TEST_F(JackRoundTrip, WindowTakesItsDevicesAgainAfterAServerRestart) {
    engine_.reset(); // the window brings its own ports
    QTemporaryDir settingsFolder;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(settingsFolder.path()));
    RecordedBoxes boxes;
    Form_midi window(*choice_.system, boxes);
    window.Form_Load();
    QDir::setCurrent(previous);
    ASSERT_EQ(peer_->Connections(peer_->OutPortName()).size(), 1u);
    ASSERT_EQ(peer_->Connections(peer_->InPortName()).size(), 1u);

    peer_.reset();
    server_.Stop();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until)
        PumpEvents();
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_NO_FATAL_FAILURE(OpenPeer());

    // What the player does: pick the same entries in the two lists again.
    const std::size_t before = peer_->ReceivedCount();
    window.SelectByProgram(window.ui().ComboMidiOut, kFirstOutputPosition);
    window.SelectByProgram(window.ui().ComboMidiIn, kFirstInputPosition);
    EXPECT_TRUE(boxes.said.empty()) << boxes.said.front().toStdString();
    // Choosing the input again tells the instrument Local Control Off, as ever.
    peer_->WaitForReceived(before + 1, std::chrono::seconds(2), &PumpEvents);
    EXPECT_EQ(peer_->ReceivedMessages(before), (std::vector<Bytes>{{0xB0, 122, 0}}));
    EXPECT_EQ(Exchange({{0x80, 60, 0}, {0xF8}}), (std::vector<Bytes>{{0x80, 60, 0}, {0xF8}}));
}

} // namespace
} // namespace velomire::e2e
