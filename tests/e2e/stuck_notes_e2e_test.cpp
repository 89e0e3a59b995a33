// Whatever goes away, nothing is left sounding, and a stop or a start never hangs: the
// program as its own process on a private JACK server.

#include "e2e/app_fixture.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace velomire::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class StuckNotes : public VelomireApp {
protected:
    template <typename Done> static bool WaitFor(Done done, milliseconds limit = seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(5));
        return done();
    }
};

// The keyboard (the decoy's port) goes away with two keys and the pedal down: what it held
// ends on the synth (the peer) at once, in the window and in the stage box alike.
TEST_F(StuckNotes, AKeyboardThatGoesAwayLeavesNothingSounding) {
    SettingsData setting = MakeSetting(0, ShuffledChannels()); // channel 1 leaves on 4
    setting.indevice = EncodeDeviceName(QString::fromStdString(decoy_.OutPortName()));
    setting.outdevice = EncodeDeviceName(QString::fromStdString(peer_.InPortName()));
    WriteFile(QStringLiteral("Default"), [&] {
        const SettingsBytes b = EncodeSettings(setting);
        return QByteArray(reinterpret_cast<const char*>(b.data()),
                          static_cast<qsizetype>(b.size()));
    }());
    const std::vector<Bytes> held = {{0x90, 60, 100}, {0x90, 62, 100}, {0xB0, 64, 127}};
    const std::vector<Bytes> ended = {
        {0x83, 60, 64}, {0x83, 62, 64}, {0xB3, 64, 0}, {0xB3, 123, 0}};
    for (const bool window : {true, false}) {
        SCOPED_TRACE(window ? "window" : "stage box");
        ASSERT_NO_FATAL_FAILURE(OpenClient(decoy_));
        ChildProcess app;
        const std::size_t before = peer_.ReceivedCount();
        window ? StartWindow(app) : StartHeadless(app, "Default");
        ASSERT_TRUE(WaitFor([&] {
            return !decoy_.Connections(decoy_.OutPortName()).empty() &&
                   peer_.ReceivedCount() > before; // Local Control Off
        })) << app.Stderr();
        const std::size_t start = peer_.ReceivedCount();
        for (const Bytes& m : held)
            decoy_.Send(m);
        ASSERT_TRUE(peer_.WaitForReceived(start + held.size(), seconds(5), nullptr));
        decoy_.Close();
        peer_.WaitForReceived(start + held.size() + ended.size(), seconds(2), nullptr);
        EXPECT_EQ(peer_.ReceivedMessages(start + held.size()), ended);
        app.Signal(SIGTERM);
        ASSERT_TRUE(app.Wait(seconds(5)));
    }
}

// A window or a stage box that finds the JACK server stopped starts all the same, says
// that it waits, and joins the server once it answers.
TEST_F(StuckNotes, AFrozenServerAtStartIsWaitedFor) {
    WriteSetting(QStringLiteral("Default"), MakeSetting(0, ShuffledChannels()));
    for (const bool window : {true, false}) {
        SCOPED_TRACE(window ? "window" : "stage box");
        ChildProcess app;
        server_.Signal(SIGSTOP);
        window ? StartWindow(app) : StartHeadless(app, "Default");
        const bool waiting = WaitFor([&] {
            return (app.Stdout() + app.Stderr()).find("waiting for it") != std::string::npos;
        });
        server_.Signal(SIGCONT);
        EXPECT_TRUE(waiting) << app.Stdout() << app.Stderr();
        EXPECT_TRUE(WaitFor([&] {
            const auto ports = peer_.Ports(JackPortIsInput);
            return std::find(ports.begin(), ports.end(), "Velomire:Velomire In") != ports.end();
        })) << app.Stdout()
            << app.Stderr();
        if (!window) {
            EXPECT_NE(app.Stdout().find("velomire: loaded setting 'Default'"), std::string::npos);
            ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app));
        }
        app.Signal(SIGTERM);
        EXPECT_TRUE(app.Wait(seconds(5)));
    }
}

// Two stage boxes of one setting would send every note twice: the second refuses, naming
// the first; another setting runs beside it.
TEST_F(StuckNotes, OneStageBoxPerSetting) {
    const std::vector<std::string> env =
        EnvironmentWith({}, {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"});
    WriteSetting(QStringLiteral("Stage"), MakeSetting(0, ShuffledChannels()));
    WriteSetting(QStringLiteral("Other"), MakeSetting(0, ShuffledChannels()));
    StartHeadless(app_, "Stage");
    ASSERT_NO_FATAL_FAILURE(WaitUntilReady(app_));
    std::string error;
    struct Case {
        std::string setting;
        bool refused;
    };
    for (const Case& c : {Case{"Stage", true}, Case{"Other", false}}) {
        ChildProcess second;
        ASSERT_TRUE(second.Start({VELOMIRE_BINARY, "--headless", c.setting, "--midi-api", "jack"},
                                 env, dir_.path().toStdString(), error))
            << error;
        const std::optional<int> status = second.Wait(seconds(c.refused ? 5 : 1));
        EXPECT_EQ(status.has_value(), c.refused) << second.Stdout() << second.Stderr();
        if (c.refused) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
            EXPECT_NE(second.Stderr().find("another Velomire already plays setting 'Stage'"),
                      std::string::npos)
                << second.Stderr();
        }
    }
}

} // namespace
} // namespace velomire::e2e
