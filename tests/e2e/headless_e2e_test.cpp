// `velomire --headless NAME`, run as its own process on a private JACK server with no
// display variables in its environment.

#include "e2e/app_fixture.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>

namespace velomire::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class HeadlessApp : public VelomireApp {
protected:
    // Waits until stdout holds `text`; false when it does not within `timeout`.
    static bool WaitForLine(ChildProcess& app, const std::string& text, milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (app.Stdout().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    }

    static std::size_t Occurrences(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    std::string Line(const std::string& what) const { return "velomire: " + what + "\n"; }
    std::string InName() const { return "'" + peer_.OutPortName() + "'"; }
    std::string OutName() const { return "'" + peer_.InPortName() + "'"; }
};

TEST_F(HeadlessApp, SendsWhatTheWindowSendsForTheSameSetting) {
    SettingsData setting = MakeSetting(-2, ShuffledChannels());
    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& key = setting.notes[static_cast<std::size_t>(n)];
        key.exp = 0.3 + (n % 9) * 0.4;
        key.vcut = static_cast<std::uint8_t>(n % 23);
        key.vmax = static_cast<std::uint8_t>(60 + n % 68);
    }
    WriteSetting(QStringLiteral("Default"), setting);
    const std::vector<Bytes> played = RandomTraffic(3000, 77);

    std::vector<Bytes> window, headless;
    {
        ChildProcess app;
        StartWindow(app);
        ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app));
        window = Exchange(played);
    }
    StartHeadless(app_, "Default");
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));
    headless = Exchange(played);

    ExpectSameStream(headless, window, played);
    ExpectSameStream(headless, ExpectedFor(setting, played), played);
    const std::string out = app_.Stdout();
    EXPECT_NE(out.find(Line("loaded setting 'Default' from " +
                            dir_.filePath(QStringLiteral("cfg/Default.vmc")).toStdString())),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(Line("output " + OutName() + " opened")), std::string::npos) << out;
    EXPECT_NE(out.find(Line("input " + InName() + " opened")), std::string::npos) << out;
    // Not even a warning about the missing display.
    EXPECT_EQ(app_.Stderr(), "");
}

TEST_F(HeadlessApp, RefusesAMissingOrInvalidSetting) {
    const SettingsBytes valid = EncodeSettings(Named(MakeSetting(0, ShuffledChannels())));
    const QByteArray bytes(reinterpret_cast<const char*>(valid.data()),
                           static_cast<qsizetype>(valid.size()));
    struct Case {
        const char* name;
        std::optional<QByteArray> file;
        std::string message;
    };
    const std::string folder = dir_.filePath(QStringLiteral("cfg")).toStdString();
    const Case cases[] = {
        {"Absent", std::nullopt, "setting 'Absent' not found: no file " + folder + "/Absent.vmc"},
        {"Magic", QByteArray("VMD1") + bytes.mid(4),
         "Magic.vmc is not a Velomire Configuration file"},
        {"Short", bytes.left(1000), "Short.vmc is not a Velomire Configuration file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.file)
            WriteFile(QString::fromLatin1(c.name), *c.file);
        ChildProcess app;
        StartHeadless(app, c.name);
        const std::optional<int> status = app.Wait(std::chrono::seconds(5));
        ASSERT_TRUE(status) << "still running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << DescribeWaitStatus(*status);
        EXPECT_NE(app.Stderr().find(c.message), std::string::npos) << app.Stderr();
        EXPECT_EQ(app.Stdout().find("opened"), std::string::npos) << app.Stdout();
    }
}

TEST_F(HeadlessApp, ReopensAPeerThatComesBackAndSilencesItsKeyboardAgain) {
    const SettingsData setting = MakeSetting(5, ShuffledChannels());
    WriteSetting(QStringLiteral("Stage"), setting);
    StartHeadless(app_, "Stage");
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));

    peer_.Close();
    ASSERT_TRUE(WaitForLine(app_, Line("input " + InName() + " disappeared; waiting for it"),
                            milliseconds(2000)))
        << app_.Stdout();
    ASSERT_TRUE(WaitForLine(app_, Line("output " + OutName() + " disappeared; waiting for it"),
                            milliseconds(2000)))
        << app_.Stdout();

    const std::size_t before = peer_.ReceivedCount();
    ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
    const auto reopened = std::chrono::steady_clock::now();
    const Bytes localControlOff = {0xB0, 0x7A, 0x00};
    const auto deadline = reopened + std::chrono::seconds(3);
    while (!(PeerConnected() && peer_.ReceivedCount() > before) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    const auto took =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - reopened);
    RecordProperty("reconnect_ms", static_cast<int>(took.count()));
    ASSERT_TRUE(PeerConnected()) << app_.Stdout();
    EXPECT_LE(took.count(), 1000);
    EXPECT_EQ(Exchange({{0x94, 60, 100}, {0x84, 60, 0}, {0xF8}}),
              ExpectedFor(setting, {{0x94, 60, 100}, {0x84, 60, 0}, {0xF8}}));
    // Local Control Off went out once more, before anything played.
    EXPECT_EQ(peer_.ReceivedMessages(before).at(0), localControlOff);
    EXPECT_EQ(Occurrences(app_.Stdout(), Line("input " + InName() + " opened")), 2u);
    EXPECT_EQ(Occurrences(app_.Stdout(), Line("output " + OutName() + " opened")), 2u);
}

TEST_F(HeadlessApp, ReleasesHeldNotesWhereTheyWentAndExitsOnSignal) {
    SettingsData setting = MakeSetting(4, ShuffledChannels()); // channel 2 leaves on 13
    setting.notes[60].vmax = 100;
    WriteSetting(QStringLiteral("Stage"), setting);
    const std::vector<Bytes> held = {{0x92, 60, 127}, {0x95, 40, 90}, {0x95, 40, 0}, {0x92, 61, 5}};
    // The notes end where they went (channel 14), then the pedal is lifted on the two
    // channels notes went to (13 and 14).
    const std::vector<Bytes> released = {{0x8D, 64, 64}, {0x8D, 65, 64}, {0xBC, 64, 0},
                                         {0xBC, 123, 0}, {0xBD, 64, 0},  {0xBD, 123, 0}};

    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signal));
        ChildProcess app;
        StartHeadless(app, "Stage");
        ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app));
        EXPECT_EQ(Exchange(held), ExpectedFor(setting, held));

        const std::size_t before = peer_.ReceivedCount();
        app.Signal(signal);
        const std::optional<int> status = app.Wait(std::chrono::seconds(5));
        ASSERT_TRUE(status) << "still running 5 s after the signal";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << DescribeWaitStatus(*status) << "; stderr: " << app.Stderr();
        peer_.WaitForReceived(before + released.size(), milliseconds(500), nullptr);
        EXPECT_EQ(peer_.ReceivedMessages(before), released);
        EXPECT_NE(app.Stdout().find(Line("stopped (2 sounding notes released)")), std::string::npos)
            << app.Stdout();
    }
}

TEST_F(HeadlessApp, RecoversFromAJackServerThatComesLateOrRestarts) {
    // A stage service starts before JACK, or JACK restarts under it. Started before the
    // server, connecting once it is up or exiting non-zero so the supervisor restarts it
    // are both fine; once running, it waits for the server and reopens its devices.
    // Running on without MIDI is never fine.
    const SettingsData setting = MakeSetting(0, ShuffledChannels());
    WriteSetting(QStringLiteral("Stage"), setting);
    const std::vector<Bytes> note = {{0x91, 60, 100}};
    for (const bool late : {true, false}) {
        SCOPED_TRACE(late ? "server starts after velomire" : "server restarts under velomire");
        ChildProcess app;
        // Only Velomire is to meet the server's death: the test's own clients leave first.
        peer_.Close();
        decoy_.Close();
        if (late) {
            server_.Stop();
            StartHeadless(app, "Stage");
            ASSERT_TRUE(WaitForLine(app, "loaded setting", milliseconds(5000))) << app.Stderr();
        } else {
            ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
            StartHeadless(app, "Stage");
            ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app));
            peer_.Close();
            server_.Stop();
            ASSERT_TRUE(
                WaitForLine(app, Line("the MIDI system has stopped; waiting for it"), seconds(5)))
                << app.Stdout() << app.Stderr();
            ASSERT_TRUE(app.Running()) << DescribeWaitStatus(*app.Wait(milliseconds(0)));
            // Held still until the instrument is back: libjack can leave a client that
            // opens while another one closes (the harness's probe) signalling a stale
            // wake-up for the number that one frees, and the instrument would never run.
            app.Signal(SIGSTOP);
        }
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        const std::size_t before = peer_.ReceivedCount();
        ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));
        app.Signal(SIGCONT);

        const auto deadline = std::chrono::steady_clock::now() + seconds(5);
        while (app.Running() && !(PeerConnected() && peer_.ReceivedCount() > before) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(10));
        if (const std::optional<int> status = app.Wait(milliseconds(0)); late && status) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0)
                << DescribeWaitStatus(*status);
        } else if (PeerConnected()) {
            // Local Control Off went out again, before anything played.
            EXPECT_EQ(Exchange(note), ExpectedFor(setting, note));
            EXPECT_EQ(peer_.ReceivedMessages(before).at(0), (Bytes{0xB0, 0x7A, 0x00}));
            if (!late) {
                const std::string out = app.Stdout();
                EXPECT_NE(out.find(Line("the MIDI system is back")), std::string::npos) << out;
                EXPECT_EQ(Occurrences(out, Line("input " + InName() + " opened")), 2u) << out;
                EXPECT_EQ(Occurrences(out, Line("output " + OutName() + " opened")), 2u) << out;
            }
        } else {
            ADD_FAILURE() << "running without MIDI, or ended; stdout:\n"
                          << app.Stdout() << "stderr:\n"
                          << app.Stderr();
        }
        app.Kill();
    }
}

TEST_F(HeadlessApp, StopsInBoundedTimeAndSaysSoWhenTheServerIsFrozen) {
    WriteSetting(QStringLiteral("Stage"), MakeSetting(0, ShuffledChannels()));
    StartHeadless(app_, "Stage");
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));
    const std::vector<Bytes> held = {{0x90, 60, 100}, {0x91, 62, 100}};
    EXPECT_EQ(Exchange(held).size(), held.size());
    const std::size_t before = peer_.ReceivedCount();

    // A server that is stopped, not gone: every call that waits for its answer would block.
    server_.Signal(SIGSTOP);
    app_.Signal(SIGTERM);
    const std::optional<int> status = app_.Wait(std::chrono::seconds(6));
    server_.Signal(SIGCONT);
    ASSERT_TRUE(status) << "still running 6 s after SIGTERM; stdout: " << app_.Stdout();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << DescribeWaitStatus(*status) << "; stderr: " << app_.Stderr();
    EXPECT_NE(app_.Stdout().find(
                  Line("stopped (2 note-offs could not be sent: the MIDI server did not answer)")),
              std::string::npos)
        << app_.Stdout();
    // And so it is: nothing arrives once the server runs again.
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(peer_.ReceivedMessages(before), std::vector<Bytes>{});
}

TEST_F(HeadlessApp, StopsInBoundedTimeWhileReachingAFrozenServer) {
    WriteSetting(QStringLiteral("Stage"), MakeSetting(0, ShuffledChannels()));
    StartHeadless(app_, "Stage");
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));
    peer_.Close();
    decoy_.Close();
    server_.Stop();
    ASSERT_TRUE(WaitForLine(app_, Line("the MIDI system has stopped; waiting for it"), seconds(5)))
        << app_.Stdout() << app_.Stderr();
    // The next server is frozen before Velomire can look for it: its try to connect hangs.
    app_.Signal(SIGSTOP);
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    server_.Signal(SIGSTOP);
    app_.Signal(SIGCONT);
    std::this_thread::sleep_for(milliseconds(600));
    app_.Signal(SIGTERM);
    const std::optional<int> status = app_.Wait(seconds(3));
    server_.Signal(SIGCONT);
    ASSERT_TRUE(status) << "still running 3 s after SIGTERM; stdout: " << app_.Stdout();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << DescribeWaitStatus(*status) << "; stderr: " << app_.Stderr();
}

// Lost MIDI data is said once, in the log (stdout): a journal that takes both streams would
// show it twice.
TEST_F(HeadlessApp, TheFirstLossIsSaidOnce) {
    WriteSetting(QStringLiteral("Stage"), MakeSetting(0, ShuffledChannels()));
    StartHeadless(app_, "Stage");
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));
    Exchange({{0xF0, 0x7D, 0x01, 0x90, 60, 100}, {0x80, 60, 0}}); // a SysEx broken off
    const std::string line = Line("MIDI data lost: 1 incomplete SysEx messages dropped");
    EXPECT_TRUE(WaitForLine(app_, line, milliseconds(2000))) << app_.Stdout();
    EXPECT_EQ(Occurrences(app_.Stdout(), line), 1u);
    EXPECT_EQ(app_.Stderr().find("lost"), std::string::npos) << app_.Stderr();
}

// JACK takes any bytes in a port name, ESC and newline included.
TEST_F(HeadlessApp, NamesItPrintsCannotSteerTheTerminalOrForgeLines) {
    const std::string evil = "evil\x1b[31m\x7f\xc2\x85\xe2\x80\xae\nvelomire: forged";
    ASSERT_TRUE(jack_port_register(peer_.Client(), evil.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                   JackPortIsInput, 0));
    SettingsData setting = Named(MakeSetting(0, ShuffledChannels()));
    setting.outdevice = EncodeDeviceName(QString::fromStdString(kPeerName + (":" + evil)));
    const SettingsBytes bytes = EncodeSettings(setting);
    WriteFile(QStringLiteral("Evil"), QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<qsizetype>(bytes.size())));
    StartHeadless(app_, "Evil");
    const std::string printed = "evil\\x1b[31m\\x7f\\u0085\\u202e\\nvelomire: forged";
    EXPECT_TRUE(WaitForLine(app_, Line("output '" + (kPeerName + (":" + printed)) + "' opened"),
                            milliseconds(5000)))
        << app_.Stdout();
    EXPECT_EQ(app_.Stdout().find_first_of("\x1b\x7f"), std::string::npos);
}

} // namespace
} // namespace velomire::e2e
