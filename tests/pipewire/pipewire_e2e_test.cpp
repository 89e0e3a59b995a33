// SPDX-License-Identifier: GPL-3.0-or-later
// Velomire on PipeWire's JACK layer, the path most desktops take: a private pipewire daemon
// with no session manager (its Dummy-Driver runs the graph), and this whole process and the
// program on PipeWire's libjack through LD_LIBRARY_PATH, as pw-jack runs programs (CTest
// sets it for this test only).

#include "e2e/app_fixture.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/wait.h>

namespace velomire::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Whether process `pid` (0: this one) has PipeWire's libjack loaded.
bool OnPipeWireJack(pid_t pid) {
    std::ifstream maps("/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(VELOMIRE_PIPEWIRE_JACK_DIR "/libjack.so") != std::string::npos)
            return true;
    return false;
}

// A private pipewire daemon. Its socket is in a runtime folder of its own, which
// XDG_RUNTIME_DIR points this process and its children at: no desktop's PipeWire is touched.
struct PipeWireServer {
    QTemporaryDir runtime;
    ChildProcess daemon;

    bool Start(std::string& error) {
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        ::unsetenv("PIPEWIRE_RUNTIME_DIR");
        ::unsetenv("PIPEWIRE_REMOTE");
        if (!daemon.Start({"/usr/bin/pipewire"}, EnvironmentWith({}), "/", error))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + seconds(10);
        jack_set_error_function([](const char*) {}); // refusals are expected while it starts
        jack_client_t* probe = nullptr;
        while (!(probe = jack_client_open("e2e-probe", JackNoStartServer, nullptr)) &&
               daemon.Running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20));
        jack_set_error_function([](const char* m) { std::fprintf(stderr, "JACK: %s\n", m); });
        if (!probe)
            error = "pipewire accepted no JACK client; it said:\n" + daemon.Stderr();
        else
            jack_client_close(probe);
        return probe != nullptr;
    }
    // Only the daemon this object started.
    void Stop() {
        daemon.Signal(SIGTERM);
        daemon.Wait(seconds(5));
        daemon.Kill();
    }
};

class PipeWireApp : public VelomireApp {
protected:
    void SetUp() override {
        ASSERT_TRUE(OnPipeWireJack(0))
            << "run this test with LD_LIBRARY_PATH=" VELOMIRE_PIPEWIRE_JACK_DIR
               " (CTest does; install pipewire-jack)";
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("cfg")));
        std::string error;
        ASSERT_TRUE(pipewire_.Start(error)) << error;
        ASSERT_NO_FATAL_FAILURE(OpenClient(decoy_));
        ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
        peer_.SetMaxPerPeriod(32);
    }
    void TearDown() override {
        VelomireApp::TearDown();
        pipewire_.Stop();
    }

    // Waits until a marker played at the peer reaches `listener` through Velomire: PipeWire
    // lists a link a few cycles before it carries anything, and drops what is played
    // meanwhile. Then checks that Local Control Off came first.
    void WaitUntilCarried(JackPeer& listener, ChildProcess& app, std::size_t from) {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        while (app.Running() && std::chrono::steady_clock::now() < deadline) {
            const Bytes marker = {0xF0, 0x7D, static_cast<std::uint8_t>(++markers_ & 0x7F), 0xF7};
            const std::size_t start = listener.ReceivedCount();
            EXPECT_TRUE(peer_.Send(marker));
            const auto retry = std::chrono::steady_clock::now() + milliseconds(500);
            while (std::chrono::steady_clock::now() < retry) {
                const std::vector<Bytes> got = listener.ReceivedMessages(start);
                if (std::find(got.begin(), got.end(), marker) != got.end()) {
                    EXPECT_EQ(listener.Received(from).Message(), (Bytes{0xB0, 0x7A, 0x00}));
                    return;
                }
                std::this_thread::sleep_for(milliseconds(5));
            }
        }
        FAIL() << "nothing played reached " << listener.InPortName() << "; stdout: " << app.Stdout()
               << "stderr: " << app.Stderr();
    }

    // A figure for the record: printed, and kept in the test's XML properties.
    void Figure(const std::string& name, double value, const char* unit, double quantum = 0) {
        char text[160];
        std::snprintf(text, sizeof text, "%.1f %s", value, unit);
        if (quantum > 0)
            std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text),
                          " (%.1f quanta of %.0f frames, %.1f ms at 48 kHz)", value / quantum,
                          quantum, value / 48.0);
        std::printf("pipewire figure: %s = %s\n", name.c_str(), text);
        RecordProperty(name, text);
    }

    PipeWireServer pipewire_;
};

// The window, as `pw-jack velomire --midi-api jack` runs it, in a chain with no loop: the
// peer plays into Velomire and the decoy listens to it. Local Control Off, the setting's
// mapping, and the frames from a note leaving the peer to its mapped copy reaching the
// decoy, at PipeWire's default quantum and with PIPEWIRE_QUANTUM given to every client of
// the chain (a running JACK client locks the quantum, so one client alone cannot lower it).
TEST_F(PipeWireApp, WindowMapsEveryMessageInAChain) {
    SettingsData setting = Named(MakeSetting(-3, ShuffledChannels()));
    setting.outdevice = EncodeDeviceName(QString::fromStdString(decoy_.InPortName()));
    setting.notes[60].exp = 2.0;
    setting.notes[60].vmax = 100;
    const SettingsBytes bytes = EncodeSettings(setting);
    WriteFile(QStringLiteral("Default"), QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<qsizetype>(bytes.size())));
    const std::vector<Bytes> played = {
        {0x90, 60, 64}, {0x80, 60, 0}, {0xB0, 1, 90}, {0xE2, 0, 80}, {0x93, 72, 127}};
    const Bytes note = {0x90, 60, 100};
    for (const std::string quantum : {"", "128/48000"}) {
        SCOPED_TRACE("PIPEWIRE_QUANTUM=" + quantum);
        if (!quantum.empty()) {
            peer_.Close();
            decoy_.Close();
            ::setenv("PIPEWIRE_QUANTUM", quantum.c_str(), 1);
            ASSERT_NO_FATAL_FAILURE(OpenClient(decoy_));
            ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
        }
        ChildProcess app;
        const std::size_t launched = decoy_.ReceivedCount();
        Launch(app, {"--midi-api", "jack"}, EnvironmentWith({"QT_QPA_PLATFORM=offscreen"}));
        ASSERT_NO_FATAL_FAILURE(WaitUntilCarried(decoy_, app, launched));
        EXPECT_TRUE(OnPipeWireJack(app.Pid()));
        EXPECT_EQ(Exchange(played, &decoy_), ExpectedFor(setting, played));

        const std::size_t sent = peer_.SentCount() + peer_.PendingSends();
        const std::size_t arrived = decoy_.ReceivedCount();
        EXPECT_EQ(Exchange({note}, &decoy_), ExpectedFor(setting, {note}));
        Figure(quantum.empty() ? "chain_latency" : "chain_latency_asking_128",
               decoy_.Received(arrived).frame - peer_.SentFrame(sent), "frames",
               peer_.BufferSize());

        app.Signal(SIGTERM);
        const std::optional<int> status = app.Wait(seconds(5));
        ASSERT_TRUE(status) << "still running 5 s after SIGTERM";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << DescribeWaitStatus(*status) << "; stderr: " << app.Stderr();
    }
    ::unsetenv("PIPEWIRE_QUANTUM");
}

// The stage box: a device that leaves and returns is reopened by name (Local Control Off
// again first), and a stop releases the keys held, where they went.
TEST_F(PipeWireApp, StageBoxFollowsADeviceAndReleasesHeldNotesOnStop) {
    const SettingsData setting = MakeSetting(5, ShuffledChannels());
    WriteSetting(QStringLiteral("Stage"), setting);
    StartHeadless(app_, "Stage");
    ASSERT_NO_FATAL_FAILURE(WaitUntilCarried(peer_, app_, launchedAt_));
    EXPECT_TRUE(OnPipeWireJack(app_.Pid()));

    peer_.Close();
    const auto gone = std::chrono::steady_clock::now() + seconds(3);
    while (app_.Stdout().find("disappeared") == std::string::npos &&
           std::chrono::steady_clock::now() < gone)
        std::this_thread::sleep_for(milliseconds(10));
    ASSERT_NE(app_.Stdout().find("disappeared"), std::string::npos) << app_.Stdout();
    const std::size_t before = peer_.ReceivedCount();
    ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
    const auto reopened = std::chrono::steady_clock::now();
    while (!(PeerConnected() && peer_.ReceivedCount() > before) &&
           std::chrono::steady_clock::now() < reopened + seconds(5))
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_TRUE(PeerConnected()) << app_.Stdout();
    Figure("reconnect",
           std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - reopened)
               .count(),
           "ms");
    ASSERT_NO_FATAL_FAILURE(WaitUntilCarried(peer_, app_, before));
    // The peer both plays into Velomire and listens to it, as PipeWire's ALSA MIDI bridge
    // does for a keyboard and a synth on ALSA: such a loop takes a quantum.
    const Bytes note = {0x91, 60, 100};
    const std::size_t sent = peer_.SentCount() + peer_.PendingSends();
    const std::size_t arrived = peer_.ReceivedCount();
    EXPECT_EQ(Exchange({note}), ExpectedFor(setting, {note}));
    Figure("loop_latency", peer_.Received(arrived).frame - peer_.SentFrame(sent), "frames",
           peer_.BufferSize());

    EXPECT_EQ(Exchange({{0x81, 60, 0}}).size(), 1u);

    const std::vector<Bytes> held = {{0x92, 60, 127}, {0x95, 40, 90}};
    EXPECT_EQ(Exchange(held), ExpectedFor(setting, held));
    const std::size_t stop = peer_.ReceivedCount();
    app_.Signal(SIGTERM);
    const std::optional<int> status = app_.Wait(seconds(5));
    ASSERT_TRUE(status) << "still running 5 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << DescribeWaitStatus(*status);
    peer_.WaitForReceived(stop + 4, milliseconds(500), nullptr);
    // First the note-offs where the notes went, then the pedals and All Notes Off on those
    // channels (which controllers exactly is the stop's own business).
    const std::vector<Bytes> after = peer_.ReceivedMessages(stop);
    ASSERT_GE(after.size(), 4u);
    const std::vector<Bytes> offs = {Expected(setting, {0x82, 60, 64}),
                                     Expected(setting, {0x85, 40, 64})};
    EXPECT_TRUE(std::is_permutation(after.begin(), after.begin() + 2, offs.begin()))
        << Hex(after[0]);
    for (const Bytes& off : offs) {
        const Bytes allNotesOff = {static_cast<std::uint8_t>(0xB0 | (off[0] & 0x0F)), 123, 0};
        EXPECT_NE(std::find(after.begin() + 2, after.end(), allNotesOff), after.end())
            << "no All Notes Off on " << Hex(off);
    }
}

} // namespace
} // namespace velomire::e2e
