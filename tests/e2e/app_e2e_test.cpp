// The velomire window, run as its own process on a private JACK server.

#include "e2e/app_fixture.h"

#include <csignal>
#include <map>
#include <sys/wait.h>

namespace velomire::e2e {
namespace {

using std::chrono::milliseconds;

class WindowApp : public VelomireApp {};

TEST_F(WindowApp, OutputFollowsTheDefaultSetting) {
    struct Case {
        const char* what;
        SettingsData setting;
        std::vector<std::pair<Bytes, Bytes>> messages; // played, sent on
    };
    // +4, channels shuffled (0->3, 1->8, 2->13, 4->7, 5->12, 6->1, 7->6, 9->0, 15->14).
    SettingsData shuffled = MakeSetting(4, ShuffledChannels());
    shuffled.notes[60].exp = 2.0;
    shuffled.notes[62].vcut = 40;
    shuffled.notes[64].vmax = 64;
    // -3, and channel 16's entry 0 sends every channel to channel 1.
    SettingsData toOne = MakeSetting(-3, ShuffledChannels());
    toOne.channels[15] = 0;
    toOne.notes[60].exp = 0.5;

    const Case cases[] = {
        {"transposed, channels shuffled, own curves",
         shuffled,
         {
             {{0x90, 60, 64}, {0x93, 64, 32}},
             {{0x90, 60, 100}, {0x93, 64, 78}},
             {{0x80, 60, 20}, {0x83, 64, 20}},
             {{0x91, 62, 30}, {0x98, 66, 0}},
             {{0x91, 62, 40}, {0x98, 66, 40}},
             {{0x9F, 64, 127}, {0x9E, 68, 64}},
             {{0x9F, 64, 100}, {0x9E, 68, 50}},
             {{0x9F, 64, 0}, {0x9E, 68, 0}},
             {{0xA2, 64, 55}, {0xAD, 68, 55}},
             {{0xB4, 7, 100}, {0xB7, 7, 100}},
             {{0xB4, 64, 127}, {0xB7, 64, 127}},
             {{0xC5, 12}, {0xCC, 12}},
             {{0xD6, 70}, {0xD1, 70}},
             {{0xE7, 0x11, 0x40}, {0xE6, 0x11, 0x40}},
             {{0x99, 125, 90}, {0x90, 127, 90}},
             {{0xF8}, {0xF8}},
             {{0xF2, 1, 2}, {0xF2, 1, 2}},
             {{0xF6}, {0xF6}},
         }},
        {"all channels to channel 1",
         toOne,
         {
             {{0x9A, 60, 100}, {0x90, 57, 113}},
             {{0x9A, 60, 16}, {0x90, 57, 45}},
             {{0x8A, 60, 0}, {0x80, 57, 0}},
             {{0x92, 1, 50}, {0x90, 0, 50}},
             {{0xB5, 7, 1}, {0xB0, 7, 1}},
             {{0xCF, 3}, {0xC0, 3}},
             {{0xE9, 0, 0x7F}, {0xE0, 0, 0x7F}},
             {{0xFC}, {0xFC}},
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteSetting(QStringLiteral("Default"), c.setting);
        const std::size_t decoyHeard = decoy_.ReceivedCount();
        ChildProcess app;
        StartWindow(app);
        ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app));
        // The decoy headed the lists, so the window opened it first (and silenced its
        // keyboard); the setting's device then replaced it.
        EXPECT_EQ(decoy_.ReceivedMessages(decoyHeard), (std::vector<Bytes>{{0xB0, 0x7A, 0x00}}));
        EXPECT_TRUE(decoy_.Connections(decoy_.OutPortName()).empty());
        EXPECT_TRUE(decoy_.Connections(decoy_.InPortName()).empty());

        std::vector<Bytes> played, expected;
        for (const auto& [in, out] : c.messages) {
            played.push_back(in);
            expected.push_back(out);
        }
        EXPECT_EQ(Exchange(played), expected);
        app.Kill();
    }
}

TEST_F(WindowApp, TenThousandRandomMessagesArriveMappedInOrderAndEveryNoteEnds) {
    const SettingsData setting = TrafficSetting();
    WriteSetting(QStringLiteral("Default"), setting);
    StartWindow(app_);
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));

    const std::vector<Bytes> played = RandomTraffic(10000, 20240611);
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Bytes> got = Exchange(played);
    RecordProperty("traffic_ms", static_cast<int>(std::chrono::duration_cast<milliseconds>(
                                                      std::chrono::steady_clock::now() - started)
                                                      .count()));
    EXPECT_EQ(peer_.Lost(), 0u);
    ExpectSameStream(got, ExpectedFor(setting, played), played);

    // Nothing left sounding on the instrument: per output channel and note, every note-off
    // ends a note-on (clamped transposition lets two keys share a note, hence counts).
    std::map<std::pair<int, int>, int> sounding;
    int ons = 0, strayOffs = 0;
    for (const Bytes& m : got) {
        const int kind = m[0] & 0xF0;
        if (kind != 0x80 && kind != 0x90)
            continue;
        int& count = sounding[{m[0] & 0x0F, m[1]}];
        if (kind == 0x90 && m[2] > 0) {
            ++count;
            ++ons;
        } else if (count == 0) {
            ++strayOffs;
        } else {
            --count;
        }
    }
    const auto left = std::count_if(sounding.begin(), sounding.end(),
                                    [](const auto& entry) { return entry.second != 0; });
    EXPECT_GT(ons, 1000);
    EXPECT_EQ(strayOffs, 0);
    EXPECT_EQ(left, 0) << "notes still sounding after every key was released";
    EXPECT_TRUE(app_.Running());
}

TEST_F(WindowApp, SurvivesThePeerVanishingAndTakesItAgainByName) {
    const SettingsData setting = MakeSetting(2, ShuffledChannels());
    WriteSetting(QStringLiteral("Default"), setting);
    StartWindow(app_);
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));
    const std::string velomireIn = peer_.Connections(peer_.OutPortName()).at(0);
    const std::string velomireOut = peer_.Connections(peer_.InPortName()).at(0);
    ASSERT_EQ(Exchange({{0x90, 60, 100}}), (std::vector<Bytes>{{0x93, 62, 100}}));
    const std::string errorsBefore = app_.Stderr();

    // Gone with a note sounding, then back under the same names, behind the decoy in the
    // lists.
    peer_.Close();
    std::this_thread::sleep_for(milliseconds(500));
    ASSERT_TRUE(app_.Running()) << DescribeWaitStatus(*app_.Wait(milliseconds(0)));
    const std::size_t before = peer_.ReceivedCount();
    ASSERT_NO_FATAL_FAILURE(OpenClient(peer_));

    // Nobody touches the window: it takes the instrument again, and only it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(PeerConnected() && peer_.ReceivedCount() > before) && app_.Running() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    ASSERT_TRUE(PeerConnected()) << "not reopened; stderr: " << app_.Stderr();
    EXPECT_EQ(peer_.Connections(peer_.OutPortName()), std::vector<std::string>{velomireIn});
    EXPECT_EQ(peer_.Connections(peer_.InPortName()), std::vector<std::string>{velomireOut});
    EXPECT_TRUE(decoy_.Connections(decoy_.OutPortName()).empty());
    EXPECT_TRUE(decoy_.Connections(decoy_.InPortName()).empty());
    // What the instrument held when it went is ended where it went (the pedal tail), then
    // Local Control Off goes once more; a late note-off still finds its key.
    EXPECT_EQ(Exchange({{0x80, 60, 0}, {0xF8}}), (std::vector<Bytes>{{0x83, 62, 0}, {0xF8}}));
    const std::vector<Bytes> since = peer_.ReceivedMessages(before);
    EXPECT_EQ(
        std::vector<Bytes>(since.begin(), since.begin() + std::min<std::size_t>(3, since.size())),
        (std::vector<Bytes>{{0xB3, 64, 0}, {0xB3, 123, 0}, {0xB0, 0x7A, 0x00}}));
    EXPECT_EQ(since.size(), 6u) << Hex(since); // with the marker
    EXPECT_EQ(app_.Stderr(), errorsBefore) << "printed while the peer was away";
}

TEST_F(WindowApp, OutlivesTheJackServerAndEndsOnSigterm) {
    WriteSetting(QStringLiteral("Default"), MakeSetting(0, ShuffledChannels()));
    StartWindow(app_);
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));

    // Only Velomire is to meet the server's death: the test's own clients leave first.
    peer_.Close();
    decoy_.Close();
    server_.Stop();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(app_.Running())
            << "ended after the server stopped: " << DescribeWaitStatus(*app_.Wait(milliseconds(0)))
            << "; stderr: " << app_.Stderr();
        std::this_thread::sleep_for(milliseconds(50));
    }
    // One plain line says what happened; libjack's own chatter about its socket does not
    // reach the user.
    const std::string said = app_.Stderr();
    EXPECT_NE(said.find("velomire: the JACK server has stopped\n"), std::string::npos) << said;
    EXPECT_EQ(said.find("socket"), std::string::npos) << said;

    app_.Signal(SIGTERM);
    const std::optional<int> status = app_.Wait(std::chrono::seconds(5));
    ASSERT_TRUE(status) << "still running 5 s after SIGTERM";
    // The window keeps the default action for SIGTERM; anything else is a crash.
    const bool clean = (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) ||
                       (WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_TRUE(clean) << DescribeWaitStatus(*status) << "; stderr: " << app_.Stderr();
}

} // namespace
} // namespace velomire::e2e
