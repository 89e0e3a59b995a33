#include "core/midi/jack_midi.h"
#include "core/velocity/note_table.h"
#include "e2e/jack_harness.h"
#include "session/session.h"
#include "support/test_helpers.h"
#include "ui/main_window.h"
#include "ui/widgets/message_box.h"
#include "ui_main_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <csignal>
#include <sched.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <random>
#include <thread>

namespace velomire::e2e {
namespace {

using Dir = Session::Direction;
using DevState = Session::DeviceState;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kPeerName = "e2e-keys";
constexpr auto kReplyTimeout = seconds(5);
const Bytes kLocalControlOff = {0xB0, 122, 0};

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

// What leaves for one message under tables that do not change meanwhile (so a note's end
// goes where its start went without tracking it).
Bytes Mapped(const SessionState& s, const Bytes& in) {
    if (in[0] >= 0xF0)
        return in;
    const int kind = in[0] & 0xF0;
    Bytes out = in;
    out[0] = static_cast<std::uint8_t>(kind | s.channels[in[0] & 0x0F]);
    if (kind == 0x80 || kind == 0x90 || kind == 0xA0) {
        const NoteSetting& key = s.notes[in[1]];
        if (kind == 0x90 && in[2] > 0)
            out[2] = MapVelocity(in[2], key);
        out[1] = key.outnote;
    }
    return out;
}

struct Traffic {
    std::vector<Bytes> played;
    std::vector<Bytes> expected;
};

// Note-ons, note-offs and controllers on all channels, and what the tables make of them.
Traffic MixedTraffic(int count, unsigned seed, const SessionState& s) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<std::uint8_t>(random() % unsigned(n)); };
    Traffic t;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t channel = pick(16);
        const int kind = pick(100);
        const auto key = static_cast<std::uint8_t>(kLowestKey + pick(88));
        if (kind < 45)
            t.played.push_back({std::uint8_t(0x90 | channel), key, std::uint8_t(1 + pick(127))});
        else if (kind < 80)
            t.played.push_back({std::uint8_t(0x80 | channel), key, pick(128)});
        else
            t.played.push_back({std::uint8_t(0xB0 | channel), pick(120), pick(128)});
        t.expected.push_back(Mapped(s, t.played.back()));
    }
    return t;
}

// What a panic sends once `played` has gone through the tables: System Reset, a note-off
// where each key still held went (input channel by channel, key by key), then pedal up and
// All Notes Off on every channel.
std::vector<Bytes> PanicAfter(const std::vector<Bytes>& played, const SessionState& s) {
    std::array<std::array<bool, 128>, 16> held{};
    for (const Bytes& m : played) {
        const int kind = m[0] & 0xF0;
        if (kind == 0x80 || kind == 0x90)
            held[m[0] & 0x0F][m[1]] = kind == 0x90 && m[2] > 0;
    }
    std::vector<Bytes> out = {{0xFF}};
    for (int c = 0; c < 16; ++c)
        for (int k = 0; k < 128; ++k)
            if (held[c][k])
                out.push_back({std::uint8_t(0x80 | s.channels[c]), s.notes[k].outnote, 64});
    for (const Bytes& m : PedalAndAllNotesOff())
        out.push_back(m);
    return out;
}

// Velomire's session on a private JACK server, in this process, wired to a peer that plays
// into its input and records its output.
class JackRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        ASSERT_NO_FATAL_FAILURE(OpenPeer());
        // JACK's threads inherit the CPUs of the thread that creates them. Velomire's get
        // the last CPU and the window thread then moves to the first, so the two run side by
        // side as on a desktop instead of taking turns on one core (which hides races).
        const std::vector<int> cpus = UsableCpus();
        if (cpus.size() >= 2)
            pinned_ = PinCallingThread(cpus.back());
        midi_ = std::make_unique<JackMidiSystem>();
        if (pinned_)
            PinCallingThread(cpus.front());
        ASSERT_TRUE(midi_->Alive());
        session_ = std::make_unique<Session>(*midi_);
        // What startup leaves: straight curves, identity notes and channels.
        SessionState start;
        TransposeOutnotes(start.notes, 0);
        RemapChannels(start.channels, false);
        for (int n = 0; n < kNoteTableSize; ++n)
            SetKeyStartupValues(start.notes[static_cast<std::size_t>(n)], n);
        session_->Start(start);
        ASSERT_TRUE(session_->ChooseOutput(peer_->InPortName()));
        ASSERT_TRUE(session_->ChooseInput(peer_->OutPortName()));
        session_->FollowDevices();
        ASSERT_EQ(peer_->Connections(peer_->OutPortName()).size(), 1u);
        ASSERT_EQ(peer_->Connections(peer_->InPortName()).size(), 1u);
        // Choosing the input tells the instrument Local Control Off.
        ASSERT_EQ(Exchange({}, 0), std::vector<Bytes>{kLocalControlOff});
    }

    void TearDown() override {
        if (pinned_)
            ::sched_setaffinity(0, sizeof original_, &original_);
        session_.reset();
        midi_.reset();
        peer_.reset();
        server_.Stop();
    }

    void OpenPeer() {
        peer_ = std::make_unique<JackPeer>(kPeerName);
        std::string error;
        ASSERT_TRUE(peer_->Open(error)) << error;
    }

    // Runs the event loop until the session has both devices in `state`.
    static bool PumpUntilBoth(Session& session, DevState state, milliseconds limit = seconds(5)) {
        return PumpUntil(
            [&] {
                return session.State(Dir::Input) == state && session.State(Dir::Output) == state;
            },
            limit);
    }

    // Waits until the MIDI side has run all it was asked before now.
    void LetAPeriodPass() {
        const std::uint64_t seen = midi_->Cycles();
        PumpUntil([&] { return midi_->Cycles() >= seen + 2; });
    }

    // Plays the messages followed by a marker that passes whole whatever the settings, and
    // returns what the peer received from `from` (default: now) before the marker came back.
    std::vector<Bytes> Exchange(const std::vector<Bytes>& messages,
                                std::size_t from = std::numeric_limits<std::size_t>::max()) {
        const std::size_t start = std::min(from, peer_->ReceivedCount());
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
            peer_->WaitForReceived(peer_->ReceivedCount() + 1, milliseconds(10), &PumpEvents);
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
        session_->Transpose(transpose);
        session_->SetRemap(remap);
    }

    // Tables set as a fresh session is started with them.
    template <typename Edit> void Tables(Edit edit) {
        SessionState s = session_->State();
        edit(s);
        session_->Start(s);
    }

    // Message by message, reporting the first difference rather than thousands.
    void ExpectStream(const std::vector<Bytes>& got, const std::vector<Bytes>& want) {
        EXPECT_EQ(got.size(), want.size()) << peer_->PendingSends() << " still queued at the peer";
        const auto common = static_cast<std::ptrdiff_t>(std::min(got.size(), want.size()));
        const auto at = std::mismatch(got.begin(), got.begin() + common, want.begin());
        if (at.first != got.begin() + common)
            ADD_FAILURE() << "message " << (at.first - got.begin()) << " left as " << Hex(*at.first)
                          << ", expected " << Hex(*at.second);
        EXPECT_FALSE(session_->CountLosses().Any())
            << Session::Describe(session_->CountLosses()).toStdString();
        EXPECT_EQ(peer_->Lost(), 0u);
    }

    JackServer server_;
    std::unique_ptr<JackPeer> peer_;
    std::unique_ptr<JackMidiSystem> midi_;
    std::unique_ptr<Session> session_;
    int markers_ = 0;
    bool pinned_ = false;
    static inline cpu_set_t original_ = [] {
        cpu_set_t set;
        ::sched_getaffinity(0, sizeof set, &set);
        return set;
    }();
};

TEST_F(JackRoundTrip, ListsOfferThePeerAndHideVelomiresOwnPorts) {
    const std::string in = std::string(kClientName) + ":" + kInputPortName;
    const std::string out = std::string(kClientName) + ":" + kOutputPortName;
    EXPECT_EQ(session_->Sources(), std::vector<std::string>{peer_->OutPortName()});
    EXPECT_EQ(session_->Targets(), (std::vector<std::string>{out, peer_->InPortName()}));
    EXPECT_EQ(session_->VirtualOutputName(), out);
    // One client for both directions, and the peer wired to it.
    std::vector<std::string> own;
    for (const std::string& p : peer_->Ports(0))
        if (IsOwnPort(p))
            own.push_back(p);
    std::sort(own.begin(), own.end());
    EXPECT_EQ(own, (std::vector<std::string>{in, out}));
    EXPECT_EQ(peer_->Connections(peer_->OutPortName()), std::vector<std::string>{in});
    EXPECT_EQ(peer_->Connections(peer_->InPortName()), std::vector<std::string>{out});
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
        const auto key = static_cast<std::uint8_t>(c.key);
        Tables([&](SessionState& s) {
            s.notes[key].exp = c.exp;
            s.notes[key].vcut = static_cast<std::uint8_t>(c.vcut);
            s.notes[key].vmax = static_cast<std::uint8_t>(c.vmax);
        });
        const NoteSetting& entry = session_->notes()[key];

        std::vector<Bytes> played, expected;
        for (const int v : velocities) {
            const auto status = static_cast<std::uint8_t>(channel++ % 16);
            played.push_back({std::uint8_t(0x90 | status), key, std::uint8_t(v)});
            expected.push_back({std::uint8_t(0x90 | status), key, MapVelocity(v, entry)});
            // Release velocity and the velocity-0 note-off pass unchanged.
            played.push_back({std::uint8_t(0x80 | status), key, 33});
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
            EXPECT_EQ(
                Exchange({{0x93, 60, 100}, end}),
                (std::vector<Bytes>{{std::uint8_t(0x90 | channel), moved, 100},
                                    {std::uint8_t((end[0] & 0xF0) | channel), moved, end[2]}}));
        }
    }
    // Nothing is left sounding for the stop to end.
    EXPECT_EQ(session_->Shutdown().released, 0);
}

// A pedal pressed on channel 3 is lifted on the channel its press went to, whatever
// changed the channel table meanwhile: the switch, an undo, a settings load.
TEST_F(JackRoundTrip, PedalIsLiftedWhereItWasPressed) {
    // The same devices, so that only the channel table changes.
    SettingsData toOne = session_->CaptureSetting(StoredDevice(peer_->OutPortName()),
                                                  StoredDevice(peer_->InPortName()));
    toOne.channels.fill(0);
    struct Row {
        const char* what;
        bool remapAtPress;
        std::function<void()> change;
    };
    const Row rows[] = {
        {"remap switched on", false, [&] { session_->SetRemap(true); }},
        {"remap undone", true, [&] { session_->Undo(); }},
        {"setting loaded", false, [&] { session_->ApplySetting(toOne, QStringLiteral("One")); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Configure(0, false);
        session_->SetRemap(row.remapAtPress);
        const std::uint8_t at = row.remapAtPress ? 0xB0 : 0xB2;
        EXPECT_EQ(Exchange({{0xB2, 64, 127}, {0x92, 60, 100}, {0x82, 60, 0}}).front(),
                  (Bytes{at, 64, 127}));
        const std::size_t from = peer_->ReceivedCount();
        row.change();
        // Released where it went down (a load reopens the output, which ends what it held
        // there first); the same channel's pedal is never left down.
        const std::vector<Bytes> got = Exchange({{0xB2, 64, 0}}, from);
        EXPECT_NE(std::find(got.begin(), got.end(), Bytes{at, 64, 0}), got.end()) << Hex(got);
    }
}

TEST_F(JackRoundTrip, VirtualPortCarriesMessagesToAPeerThatConnectsToIt) {
    // Velomire's own port heads the outputs, connected to nothing until another program is.
    const std::string virtualPort = session_->Targets().at(0);
    EXPECT_EQ(virtualPort, std::string(kClientName) + ":" + kOutputPortName);
    ASSERT_TRUE(session_->ChooseOutput(virtualPort));
    EXPECT_TRUE(peer_->Connections(peer_->InPortName()).empty());

    ASSERT_TRUE(peer_->Connect(virtualPort, peer_->InPortName()));
    Configure(5, false);
    EXPECT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}, {0xF0, 0x7E, 0x01, 0xF7}}),
              (std::vector<Bytes>{{0x90, 65, 100}, {0x80, 65, 0}, {0xF0, 0x7E, 0x01, 0xF7}}));
}

// Every key on its own curve, transposed and remapped to channel 1.
class JackBurst : public JackRoundTrip {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(JackRoundTrip::SetUp());
        Tables([](SessionState& s) {
            for (int n = 0; n <= 127; ++n) {
                NoteSetting& k = s.notes[static_cast<std::size_t>(n)];
                k.exp = 0.5 + (n % 7) * 0.25;
                k.vcut = static_cast<std::uint8_t>(n % 13);
                k.vmax = static_cast<std::uint8_t>(80 + n % 48);
            }
        });
        Configure(-2, true);
    }

    // All the peer received from `from`, mapped, in order and at non-decreasing frames.
    void ExpectArrivedInOrder(std::size_t from, const Traffic& t) {
        ExpectStream(peer_->ReceivedMessages(from), t.expected);
        for (std::size_t i = from + 1; i < peer_->ReceivedCount(); ++i)
            ASSERT_LE(peer_->Received(i - 1).frame, peer_->Received(i).frame) << "event " << i;
    }
};

TEST_F(JackBurst, TwentyThousandMixedMessagesArriveInOrderAndMapped) {
    const Traffic traffic = MixedTraffic(20000, 20240607, session_->State());
    // 16 events per 64-frame period is 12,000 messages a second, four times what a MIDI
    // cable carries, and keeps every JACK buffer far from full.
    peer_->SetMaxPerPeriod(16);
    const std::size_t from = peer_->ReceivedCount();
    for (const Bytes& m : traffic.played)
        ASSERT_TRUE(peer_->Send(m));
    peer_->WaitForReceived(from + traffic.expected.size(), seconds(20), &PumpEvents);
    ExpectArrivedInOrder(from, traffic);
}

TEST_F(JackBurst, KeepsFlowingInOrderWhileTheWindowThreadIsBlocked) {
    // The window's thread handles no event at all while a sequencer plays: enough notes to
    // fill the ring that lights the keys, which may then drop lighting, never MIDI.
    const Traffic traffic = MixedTraffic(10000, 7, session_->State());
    peer_->SetMaxPerPeriod(64);
    const std::size_t from = peer_->ReceivedCount();
    for (const Bytes& m : traffic.played)
        ASSERT_TRUE(peer_->Send(m));
    EXPECT_TRUE(peer_->WaitForReceived(from + traffic.expected.size(), seconds(10), nullptr))
        << "only " << peer_->ReceivedCount() - from << " arrived while the window was blocked";
    ExpectArrivedInOrder(from, traffic);
}

TEST_F(JackRoundTrip, PanicLandsAfterWhatWasPlayedAndBeforeWhatFollows) {
    // Notes held on moved channels and keys, so the panic's note-offs must go where they went.
    Tables([](SessionState& s) {
        TransposeOutnotes(s.notes, 3);
        for (int c = 0; c < 16; ++c)
            s.channels[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>((5 * c + 3) % 16);
    });
    const SessionState s = session_->State();
    Traffic held;
    for (std::uint8_t c = 0; c < 4; ++c) {
        held.played.push_back({std::uint8_t(0x90 | c), std::uint8_t(60 + c), 100});
        held.expected.push_back(Mapped(s, held.played.back()));
    }
    const Traffic stream = MixedTraffic(3000, 11, s);
    const Traffic after = MixedTraffic(300, 12, s);
    ASSERT_EQ(Exchange(held.played), held.expected);

    // Pressed while a sequencer plays, then more is played.
    peer_->SetMaxPerPeriod(4);
    const std::size_t from = peer_->ReceivedCount();
    for (const Bytes& m : stream.played)
        ASSERT_TRUE(peer_->Send(m));
    ASSERT_TRUE(peer_->WaitForReceived(from + 100, seconds(5), &PumpEvents));
    session_->Panic();
    const std::vector<Bytes> got = Exchange(after.played, from);

    // The panic is whole, and ends exactly the notes held when it landed.
    const auto reset = std::find(got.begin(), got.end(), Bytes{0xFF});
    ASSERT_NE(reset, got.end()) << "no panic";
    const auto landed = static_cast<std::size_t>(reset - got.begin());
    ASSERT_LE(landed, stream.played.size());
    std::vector<Bytes> before = held.played;
    before.insert(before.end(), stream.played.begin(), stream.played.begin() + landed);
    std::vector<Bytes> want(stream.expected.begin(), stream.expected.begin() + landed);
    for (const Bytes& m : PanicAfter(before, s))
        want.push_back(m);
    want.insert(want.end(), stream.expected.begin() + landed, stream.expected.end());
    want.insert(want.end(), after.expected.begin(), after.expected.end());
    ExpectStream(got, want);
}

TEST_F(JackRoundTrip, SurvivesThePeerVanishingAndReopensItByName) {
    ASSERT_EQ(Exchange({{0x90, 60, 100}}), (std::vector<Bytes>{{0x90, 60, 100}}));

    // The instrument goes away while both ports are connected to it and a note sounds.
    peer_->Close();
    ASSERT_TRUE(PumpUntilBoth(*session_, DevState::Missing));
    EXPECT_TRUE(session_->Sources().empty());
    EXPECT_EQ(session_->Targets(), std::vector<std::string>{session_->VirtualOutputName()});
    // A panic into nothing is harmless, and ends the sounding note all the same.
    session_->Panic();
    LetAPeriodPass();

    // Another device appears first: the instrument no longer heads the lists when it comes
    // back under its old names.
    JackPeer other("e2e-other");
    std::string error;
    ASSERT_TRUE(other.Open(error)) << error;
    ASSERT_NO_FATAL_FAILURE(OpenPeer());
    ASSERT_TRUE(PumpUntilBoth(*session_, DevState::Open));
    EXPECT_EQ(session_->Sources(),
              (std::vector<std::string>{other.OutPortName(), peer_->OutPortName()}));
    EXPECT_TRUE(other.Connections(other.OutPortName()).empty());
    EXPECT_TRUE(other.Connections(other.InPortName()).empty());
    Configure(5, false);
    // It may still hold the note that sounded when it went: the pedal tail comes first.
    EXPECT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}, {0xF8}}, 0),
              (std::vector<Bytes>{{0xB0, 64, 0},
                                  {0xB0, 123, 0},
                                  kLocalControlOff,
                                  {0x90, 65, 100},
                                  {0x80, 65, 0},
                                  {0xF8}}));
    other.Close();
}

// A server that stops answering keeps Velomire's client: it cannot be closed, and runs its
// callback again once the server goes on, after the system has gone. What the callback
// uses stays in place (a use after free here shows under AddressSanitizer).
TEST_F(JackRoundTrip, AClientThatCouldNotBeClosedMayRunOnAfterTheSystemHasGone) {
    ASSERT_EQ(Exchange({{0x90, 60, 100}}), (std::vector<Bytes>{{0x90, 60, 100}}));
    server_.Signal(SIGSTOP);
    session_.reset();
    midi_.reset();
    server_.Signal(SIGCONT);
    // The peer goes on hearing periods, in which the old client's callback runs.
    const std::size_t before = peer_->ReceivedCount();
    EXPECT_TRUE(peer_->Send({0xF8}));
    EXPECT_FALSE(peer_->WaitForReceived(before + 1, milliseconds(300), nullptr));
}

TEST_F(JackRoundTrip, ReopensItsDevicesByItselfAfterAServerRestart) {
    // Seen gone by a look at the devices, or back before the next look (a quick restart,
    // or a busy window): either way the ports went with the old server.
    for (const bool seenGone : {true, false}) {
        SCOPED_TRACE(seenGone ? "seen gone" : "back before the next look");
        Configure(0, false);
        ASSERT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}}),
                  (std::vector<Bytes>{{0x90, 60, 100}, {0x80, 60, 0}}));
        const std::string target = peer_->InPortName();

        // Only Velomire is to meet the server's death: the test's own client leaves first.
        peer_.reset();
        server_.Stop();
        if (seenGone) {
            ASSERT_TRUE(PumpUntilBoth(*session_, DevState::Missing));
            EXPECT_FALSE(midi_->Alive());
            EXPECT_TRUE(session_->Sources().empty());
            EXPECT_TRUE(session_->Targets().empty());
            // Harmless, and choosing fails plainly; what was asked meanwhile never arrives.
            session_->Panic();
            EXPECT_FALSE(session_->ChooseOutput(target));
        } else {
            // The death notice is handled, but no timer runs: no look.
            const auto deadline = std::chrono::steady_clock::now() + seconds(5);
            while (midi_->Alive() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(milliseconds(1));
            ASSERT_FALSE(midi_->Alive());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        }

        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        ASSERT_NO_FATAL_FAILURE(OpenPeer());
        const auto back = std::chrono::steady_clock::now();
        EXPECT_TRUE(PumpUntil(
            [&] {
                return session_->State(Dir::Input) == DevState::Open &&
                       session_->State(Dir::Output) == DevState::Open && peer_->ReceivedCount() > 0;
            },
            seconds(1)))
            << "not reopened, or no Local Control Off, within a second";
        RecordProperty(seenGone ? "reopen_ms" : "quick_reopen_ms",
                       static_cast<int>(std::chrono::duration_cast<milliseconds>(
                                            std::chrono::steady_clock::now() - back)
                                            .count()));
        Configure(5, false);
        // The channel in use when the server went gets the pedal tail before anything else.
        EXPECT_EQ(Exchange({{0x90, 60, 100}, {0x80, 60, 0}, {0xF8}}, 0),
                  (std::vector<Bytes>{{0xB0, 64, 0},
                                      {0xB0, 123, 0},
                                      kLocalControlOff,
                                      {0x90, 65, 100},
                                      {0x80, 65, 0},
                                      {0xF8}}));
    }
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
    session_.reset(); // the window brings its own session
    QTemporaryDir settingsFolder;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(settingsFolder.path()));
    RecordedBoxes boxes;
    MainWindow window(*midi_, boxes);
    window.Start();
    QDir::setCurrent(previous);
    ASSERT_EQ(peer_->Connections(peer_->OutPortName()).size(), 1u);
    ASSERT_EQ(peer_->Connections(peer_->InPortName()).size(), 1u);

    peer_.reset();
    server_.Stop();
    ASSERT_TRUE(PumpUntilBoth(window.session(), DevState::Missing));
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_NO_FATAL_FAILURE(OpenPeer());

    // Nobody touches the window.
    ASSERT_TRUE(PumpUntilBoth(window.session(), DevState::Open));
    EXPECT_TRUE(boxes.said.empty()) << boxes.said.front().toStdString();
    EXPECT_EQ(window.ui().inputList->currentText().toStdString(), peer_->OutPortName());
    EXPECT_EQ(window.ui().outputList->currentText().toStdString(), peer_->InPortName());
    EXPECT_EQ(Exchange({{0x80, 60, 0}, {0xF8}}, 0),
              (std::vector<Bytes>{kLocalControlOff, {0x80, 60, 0}, {0xF8}}));
}

} // namespace
} // namespace velomire::e2e
