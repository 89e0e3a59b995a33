#include "core/midi/pending_system.h"
#include "core/midi/rtmidi_backend.h"
#include "session/headless_runner.h"
#include "startup/command_line.h"
#include "startup/signals.h"
#include "startup/window_platform.h"
#include "ui/main_window.h"
#include "ui/widgets/message_box.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <utility>

using namespace velomire;

namespace {

constexpr std::chrono::seconds kWindowLimit{10};

// Runs `then` once, after the widget's first paint: a box over a window not yet drawn
// would hide what it speaks of and hold up the drawing.
void AfterFirstPaint(QWidget& widget, std::function<void()> then) {
    class Watch final : public QObject {
    public:
        Watch(QWidget& w, std::function<void()> then) : QObject(&w), then_(std::move(then)) {
            w.installEventFilter(this);
        }
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint && then_) {
                watched->removeEventFilter(this);
                QTimer::singleShot(0, this, std::exchange(then_, {}));
            }
            return false;
        }

    private:
        std::function<void()> then_;
    };
    new Watch(widget, std::move(then));
}

void Identify() {
    QCoreApplication::setApplicationName(QStringLiteral("velomire"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELOMIRE_VERSION));
}

// One line on stderr, escaped as the stage box's lines are: it may carry what a user, the
// environment or a device gave (an option, a display's name, a path).
void Complain(const QString& line) {
    std::fprintf(stderr, "velomire: %s\n", qPrintable(PrintableText(line)));
    std::fflush(stderr);
}

// The session a stop signal silences first, for as long as it lives.
class StopSoundWhileAlive {
public:
    explicit StopSoundWhileAlive(Session& session) { StopSoundOf(&session); }
    ~StopSoundWhileAlive() { StopSoundOf(nullptr); }
    StopSoundWhileAlive(const StopSoundWhileAlive&) = delete;
    StopSoundWhileAlive& operator=(const StopSoundWhileAlive&) = delete;
};

int RunHeadless(int argc, char** argv, const CommandLine& cl) {
    QCoreApplication app(argc, argv);
    Identify();
    QuitOnTerminationSignals();
    // The setting is read while the MIDI system is reached: a server that does not answer
    // is waited for, and the log says so after naming the setting.
    PendingMidiSystem midi(std::async(std::launch::async, &ChooseMidiSystem, cl.midiApi));
    HeadlessRunner runner(midi, cl.headless);
    const StopSoundWhileAlive watched(runner.session());
    if (const int status = runner.Load())
        return status;
    if (const MidiSystemChoice& reached = midi.Choice(); !reached.available) {
        // With nothing to play through, a stage box is better off failing: its service
        // manager starts it again until the MIDI system is up.
        Complain(QString::fromStdString(reached.status));
        return 1;
    }
    runner.Run();
    const int status = TerminationRequested() ? 0 : QCoreApplication::exec();
    EventLoopEnded();
    runner.Stop();
    return status;
}

// The display a window would appear on, for a line that says it does not answer.
QString DisplayName(const CommandLine& cl) {
    for (const QString& name :
         {cl.display, qEnvironmentVariable("DISPLAY"), qEnvironmentVariable("WAYLAND_DISPLAY")})
        if (!name.isEmpty())
            return name;
    return QStringLiteral("(default)");
}

int RunWindow(int argc, char** argv, std::future<MidiSystemChoice> reaching,
              WindowPlatformCheck& platform) {
    // Three slow starts at once: reaching the MIDI system (a JACK client takes tens of
    // milliseconds to connect and list its ports), loading the font configuration, which
    // Qt does at the window's first text (FcInit does nothing once done, and fontconfig is
    // thread-safe), and connecting to the display. The window is built meanwhile; its
    // device lists wait for the MIDI system.
    PendingMidiSystem midi(std::move(reaching));
    std::future<FcBool> fonts = std::async(std::launch::async, &FcInit);

    QApplication app(argc, argv); // reads Qt's own options from the same arguments
    platform.Release();
    Identify();
    QGuiApplication::setDesktopFileName(QStringLiteral(VELOMIRE_APP_ID)); // the desktop-file id
    QuitOnTerminationSignals();
    fonts.wait();

    QtMessageBoxes boxes;
    MainWindow window(midi, boxes);
    const StopSoundWhileAlive watched(window.session());
    QObject::connect(&window.session(), &Session::MessagesLost, &window, &Complain);
    boxes.SetParent(&window);
    window.Start();
    AfterFirstPaint(window, &WindowShown);
    window.show();
    const MidiSystemChoice& reached = midi.Choice();
    if (reached.available && reached.system->Waiting())
        Complain(QString::fromStdString(reached.status));
    if (!reached.available) {
        Complain(QString::fromStdString(reached.status));
        // Started from a menu, stderr is unseen: say it once in the window, once drawn.
        AfterFirstPaint(window, [&boxes, &reached] {
            boxes.Inform(QStringLiteral("Velomire"),
                         QStringLiteral("Velomire has %1.\n\n"
                                        "It runs, but its device lists hold only \"Not "
                                        "Enabled\". Load the ALSA sequencer (snd-seq) or start "
                                        "a JACK server, then start Velomire again.")
                             .arg(QString::fromStdString(reached.status)));
        });
    }
    // A signal taken by a box during Form_Load ended only that box.
    const int status = TerminationRequested() ? 0 : QApplication::exec();
    EventLoopEnded();
    // What the stop could not send is said, as the stage box says it.
    if (const Session::StopReport r = window.session().Shutdown(); !r.Complete())
        Complain(QStringLiteral("stopped (%1)").arg(Session::DescribeStop(r)));
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread leaves the stop signals to their own.
    BlockStopSignals();
    StartStopSignals();
    // The icon is a resource of a static library; nothing else would make the linker keep it.
    Q_INIT_RESOURCE(velomire);

    // Everything is checked before Qt touches a window system: QApplication aborts the
    // process when it finds no display, and takes its own options without a word about
    // their values.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine cl = ParseCommandLine(arguments);
    if (!cl.error.isEmpty()) {
        Complain(cl.error);
        std::fputs("Try 'velomire --help'.\n", stderr);
        return 2;
    }
    if (cl.help || cl.version) {
        std::fputs(qPrintable(cl.help ? UsageText() : VersionText()), stdout);
        return 0;
    }
    QString error;
    if (cl.useDataFolder && !EnterDataFolder(&error)) {
        Complain(error);
        return 1;
    }
    if (!cl.headless.isEmpty())
        return RunHeadless(argc, argv, cl);
    // Reaching the MIDI system is the longest step of start-up: it begins before the
    // display is looked at (a window that cannot be shown only waits for it to end).
    std::future<MidiSystemChoice> reaching =
        std::async(std::launch::async, &ChooseMidiSystem, cl.midiApi);
    // A display that takes the connection but never answers would hold the check, Qt and
    // the first map for ever.
    ExpectWindowWithin(kWindowLimit, PrintableText(QStringLiteral("cannot show the window: the "
                                                                  "display '%1' does not answer")
                                                       .arg(DisplayName(cl))));
    WindowPlatformCheck platform(cl);
    if (const std::optional<QString>& problem = platform.Problem()) {
        Complain(QStringLiteral("cannot show the window: ") + *problem);
        return 1;
    }
    return RunWindow(argc, argv, std::move(reaching), platform);
}
