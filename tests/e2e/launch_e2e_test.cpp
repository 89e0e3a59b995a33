// Starting and ending the velomire program: its arguments, the display it needs, its icon on
// a real X server and the signals that end it.

#include "e2e/app_fixture.h"
#include "support/test_helpers.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velomire::e2e {
namespace {

// No display of any kind unless a case gives one.
const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                             "XDG_SESSION_TYPE"};

TEST(Launch, RefusesWrongArgumentsAndWindowsItCannotShowBeforeQtCanAbort) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string tmp = dir.path().toStdString();
    const std::string noWindow = "velomire: cannot show the window: ";
    const std::string noSetting = "velomire: setting 'X' not found: no file " + tmp;
    const std::vector<std::string> inDataFolder = {"--use-data-folder", "--headless", "X"};
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int status;
        std::string said; // how stderr starts; a second line for status 2 tells of --help
    };
    const Case cases[] = {
        {{"--midi-api", "foo"}, {}, 2, "velomire: unknown MIDI system 'foo' (use alsa or jack)\n"},
        {{"--headles", "X"}, {}, 2, "velomire: unknown option '--headles'\n"},
        {{"-platform"}, {}, 2, "velomire: option -platform needs a value\n"},
        {{"--headless", "X", "-style"}, {}, 2, "velomire: option -style needs a value\n"},
        {{}, {}, 1, noWindow + "no X display (DISPLAY is not set)\n"},
        {{}, {"DISPLAY=:6543"}, 1, noWindow + "cannot connect to the X display ':6543'\n"},
        {{"-platform", "nosuch"}, {}, 1, noWindow + "no Qt platform plugin 'nosuch' (there are: "},
        // What the command line and the environment bring is escaped: no terminal control,
        // no forged line.
        {{"--midi-api", "\x1b]0;x\x07\nvelomire: forged"},
         {},
         2,
         "velomire: unknown MIDI system '\\x1b]0;x\\x07\\nvelomire: forged' (use alsa or jack)\n"},
        {{}, {"DISPLAY=:9\x1b[2J"}, 1, noWindow + "cannot connect to the X display ':9\\x1b[2J'\n"},
        // Qt's options are taken, and ignored, without a window.
        {{"--headless", "X", "-platform", "offscreen", "--style=fusion", "-reverse", "-display",
          ":1"},
         {},
         1,
         noSetting + "/cfg/X.vmc\n"},
        {inDataFolder, {"HOME=", "XDG_DATA_HOME=" + tmp + "/d"}, 1, noSetting + "/d/velomire/cfg/"},
        {inDataFolder,
         {"HOME=" + tmp, "XDG_DATA_HOME=d"},
         1,
         noSetting + "/.local/share/velomire/"},
        {inDataFolder,
         {"HOME=home", "XDG_DATA_HOME=d"},
         1,
         "velomire: no per-user data folder: neither XDG_DATA_HOME nor HOME is an absolute path\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        ChildProcess app;
        std::vector<std::string> argv = {VELOMIRE_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string error;
        ASSERT_TRUE(app.Start(argv, EnvironmentWith(c.env, kNoDisplay), tmp, error)) << error;
        const std::optional<int> status = app.Wait(std::chrono::seconds(10));
        ASSERT_TRUE(status) << "still running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == c.status)
            << DescribeWaitStatus(*status);
        const std::string said = app.Stderr();
        EXPECT_EQ(said.substr(0, c.said.size()), c.said) << said;
        EXPECT_EQ(said.substr(said.find('\n') + 1),
                  c.status == 2 ? "Try 'velomire --help'.\n" : "");
        EXPECT_EQ(app.Stdout(), "");
    }
}

// The window on a private Xvfb, as on a desktop: no platform named, only DISPLAY.
class WindowOnX : public VelomireApp {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(VelomireApp::SetUp());
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        std::string error;
        xvfb_ = SpawnChild(
            {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp"},
            nullptr, quiet, quiet, nullptr, fds[1], error);
        ::close(fds[1]);
        ::close(quiet);
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        char c = 0;
        while (xvfb_ > 0 && ::poll(&ready, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start (install xvfb) " << error;
        display_ = ":" + number;
    }
    void TearDown() override {
        VelomireApp::TearDown();
        if (x_)
            xcb_disconnect(x_);
        if (xvfb_ > 0) {
            ::kill(xvfb_, SIGTERM);
            ::waitpid(xvfb_, nullptr, 0);
        }
    }

    // True when a top-level window carries a 32x32 icon. Qt sets it when it shows the
    // window, and its event loop runs by the time the test looks.
    bool IconShown() {
        if (!x_)
            x_ = xcb_connect(display_.c_str(), nullptr);
        const char name[] = "_NET_WM_ICON";
        auto* atom =
            xcb_intern_atom_reply(x_, xcb_intern_atom(x_, 0, sizeof name - 1, name), nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x_)).data->root;
        auto* tree = xcb_query_tree_reply(x_, xcb_query_tree(x_, root), nullptr);
        bool shown = false;
        for (int i = 0; atom && tree && !shown && i < xcb_query_tree_children_length(tree); ++i) {
            // Only the size is asked for: a 32x32 icon is two numbers and 32 * 32 pixels.
            auto* icon =
                xcb_get_property_reply(x_,
                                       xcb_get_property(x_, 0, xcb_query_tree_children(tree)[i],
                                                        atom->atom, XCB_ATOM_CARDINAL, 0, 0),
                                       nullptr);
            shown = icon && icon->bytes_after == (2 + 32 * 32) * 4;
            std::free(icon);
        }
        std::free(tree);
        std::free(atom);
        return shown;
    }

    pid_t xvfb_ = -1;
    std::string display_;
    xcb_connection_t* x_ = nullptr; // also keeps the server from resetting between runs
};

// Every stop signal ends what sounds from the MIDI side, even while the display is frozen
// and the window thread cannot run, and the process ends with status 0.
class WindowOnXStopped : public WindowOnX, public ::testing::WithParamInterface<int> {};

TEST_P(WindowOnXStopped, ShowsItsIconAndEndsWhatSoundsWhileTheDisplayIsFrozen) {
    const SettingsData setting = MakeSetting(4, ShuffledChannels());
    WriteSetting(QStringLiteral("Default"), setting);
    const std::vector<Bytes> held = {{0x92, 60, 127}, {0x95, 40, 90}, {0xB2, 66, 127}};
    // On X11, Qt's D-Bus thread ends with a buffer of libdbus still held; not Velomire's.
    QFile suppressions(dir_.filePath(QStringLiteral("lsan.supp")));
    ASSERT_TRUE(suppressions.open(QIODevice::WriteOnly) &&
                suppressions.write("leak:libdbus-1.so\n"));
    suppressions.close();
    const std::string dbusLeak = suppressions.fileName().toStdString();
    {
        const int signal = GetParam();
        ChildProcess app;
        Launch(app, {"--midi-api", "jack"},
               EnvironmentWith({"DISPLAY=" + display_, "LSAN_OPTIONS=suppressions=" + dbusLeak},
                               kNoDisplay));
        ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app));
        // The MIDI side is ready before the window is shown: wait for the window too.
        const auto shown = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!IconShown() && std::chrono::steady_clock::now() < shown)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(IconShown()) << "no window on " << display_ << " shows a 32x32 icon";
        const std::vector<Bytes> sounding = Exchange(held);
        EXPECT_EQ(sounding, ExpectedFor(setting, held));
        const std::size_t before = peer_.ReceivedCount();

        ::kill(xvfb_, SIGSTOP);
        app.Signal(signal);
        // Channel 3 leaves on 14, channel 6 on 13: note-offs, then each channel's tail, the
        // sostenuto's release where it went.
        const std::vector<Bytes> ended = {{0x8D, 64, 64}, {0x8C, 44, 64}, {0xBC, 64, 0},
                                          {0xBC, 123, 0}, {0xBD, 64, 0},  {0xBD, 66, 0},
                                          {0xBD, 123, 0}};
        peer_.WaitForReceived(before + ended.size(), std::chrono::seconds(2), nullptr);
        EXPECT_EQ(peer_.ReceivedMessages(before), ended) << "while the display is frozen";
        const std::optional<int> status = app.Wait(std::chrono::seconds(5));
        ::kill(xvfb_, SIGCONT);
        ASSERT_TRUE(status) << "still running 5 s after the signal";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << DescribeWaitStatus(*status) << "; stderr: " << app.Stderr();
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, WindowOnXStopped,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return std::string(sigabbrev_np(p.param));
                         });

// A display that takes the connection and never answers: one line, status 1.
TEST_F(WindowOnX, ADisplayThatNeverAnswersEndsStartUp) {
    ::kill(xvfb_, SIGSTOP);
    ChildProcess app;
    Launch(app, {"--midi-api", "jack"}, EnvironmentWith({"DISPLAY=" + display_}, kNoDisplay));
    const std::optional<int> status = app.Wait(std::chrono::seconds(15));
    ::kill(xvfb_, SIGCONT);
    ASSERT_TRUE(status) << "still running 15 s after the start";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << DescribeWaitStatus(*status);
    EXPECT_EQ(app.Stderr(),
              "velomire: cannot show the window: the display '" + display_ + "' does not answer\n");
}

} // namespace
} // namespace velomire::e2e
