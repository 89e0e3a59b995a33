#include "app/command_line.h"
#include "app/form_midi.h"
#include "app/headless_runner.h"
#include "app/message_box.h"
#include "app/signals.h"
#include "midi/pending_system.h"
#include "midi/rtmidi_backend.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <utility>

using namespace velomire;

namespace {

// Headless mode, help and version must not need a display, so they are recognised
// before any Qt application object exists.
bool NeedsNoDisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--headless") == 0 || std::strncmp(a, "--headless=", 11) == 0 ||
            std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0 ||
            std::strcmp(a, "--version") == 0 || std::strcmp(a, "-v") == 0)
            return true;
    }
    return false;
}

// 0 to go on; otherwise the process exit status plus one.
int HandleInformational(const CommandLine& cl) {
    if (!cl.error.isEmpty()) {
        std::fprintf(stderr, "velomire: %s\nTry 'velomire --help'.\n", qPrintable(cl.error));
        return 2 + 1;
    }
    if (cl.help) {
        std::fputs(qPrintable(UsageText()), stdout);
        return 0 + 1;
    }
    if (cl.version) {
        std::fputs(qPrintable(VersionText()), stdout);
        return 0 + 1;
    }
    QString error;
    if (cl.useDataFolder && !EnterDataFolder(&error)) {
        std::fprintf(stderr, "velomire: %s\n", qPrintable(error));
        return 1 + 1;
    }
    return 0;
}

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

// The MIDI system named on the command line, read before Qt has taken its own options
// out of the arguments; what the full parse says afterwards wins.
MidiApiChoice EarlyMidiApi(int argc, char** argv) {
    QStringList arguments{QString()};
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a == QLatin1String("--midi-api") && i + 1 < argc)
            arguments << a << QString::fromLocal8Bit(argv[++i]);
        else if (a.startsWith(QLatin1String("--midi-api=")))
            arguments << a;
    }
    return ParseCommandLine(arguments).midiApi;
}

void Identify() {
    QCoreApplication::setApplicationName(QStringLiteral("velomire"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELOMIRE_VERSION));
}

int RunHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Identify();
    QuitOnTerminationSignals();
    const CommandLine cl = ParseCommandLine(QCoreApplication::arguments());
    if (const int done = HandleInformational(cl))
        return done - 1;
    if (cl.headless.isEmpty()) {
        std::fprintf(stderr, "velomire: --headless needs the name of a setting\n");
        return 2;
    }
    MidiSystemChoice midi = ChooseMidiSystem(cl.midiApi);
    HeadlessRunner runner(*midi.system, cl.headless);
    if (const int status = runner.Load())
        return status;
    if (!midi.available) {
        // With nothing to play through, a stage box is better off failing: its service
        // manager starts it again until the MIDI system is up.
        std::fprintf(stderr, "velomire: %s\n", midi.status.c_str());
        return 1;
    }
    runner.Run();
    const int status = QCoreApplication::exec();
    runner.Stop();
    return status;
}

int RunWindow(int argc, char** argv) {
    // Three slow starts at once: reaching the MIDI system (a JACK client takes tens of
    // milliseconds to connect and list its ports), loading the font configuration, which
    // Qt does at the window's first text (FcInit does nothing once done, and fontconfig is
    // thread-safe), and connecting to the display. The window is built meanwhile; its
    // device lists wait for the MIDI system.
    const MidiApiChoice earlyApi = EarlyMidiApi(argc, argv);
    auto midi = std::make_unique<PendingMidiSystem>(
        std::async(std::launch::async, &ChooseMidiSystem, earlyApi));
    std::future<FcBool> fonts = std::async(std::launch::async, &FcInit);

    QApplication app(argc, argv); // takes Qt's own options out of the arguments
    Identify();
    QGuiApplication::setDesktopFileName(QStringLiteral("velomire"));
    QuitOnTerminationSignals();
    const CommandLine cl = ParseCommandLine(QCoreApplication::arguments());
    if (const int done = HandleInformational(cl))
        return done - 1;

    if (cl.midiApi != earlyApi) {
        midi = std::make_unique<PendingMidiSystem>(
            std::async(std::launch::deferred, &ChooseMidiSystem, cl.midiApi));
    }
    fonts.wait();

    QtMessageBoxes boxes;
    Form_midi window(*midi, boxes);
    boxes.SetParent(&window);
    window.Form_Load();
    window.show();
    const MidiSystemChoice& reached = midi->Choice();
    if (!reached.available) {
        std::fprintf(stderr, "velomire: %s\n", reached.status.c_str());
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
    if (TerminationRequested())
        return 0;
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    return NeedsNoDisplay(argc, argv) ? RunHeadless(argc, argv) : RunWindow(argc, argv);
}
