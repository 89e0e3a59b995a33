#include "app/headless_runner.h"

#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace velomire {

namespace {
QString Quoted(const QString& s) {
    return QLatin1Char('\'') + s + QLatin1Char('\'');
}

QString Present(const QStringList& names) {
    return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
}
} // namespace

HeadlessRunner::HeadlessRunner(MidiSystem& midi, QString name, std::FILE* out, std::FILE* err,
                               QObject* parent)
    : QObject(parent), engine_(midi, this), name_(std::move(name)), out_(out), err_(err) {
    poll_.setInterval(kPollMilliseconds);
    connect(&poll_, &QTimer::timeout, this, &HeadlessRunner::Poll);
}

HeadlessRunner::~HeadlessRunner() {
    Stop();
}

void HeadlessRunner::Say(const QString& line) {
    std::fprintf(out_, "velomire: %s\n", qPrintable(line));
    std::fflush(out_);
}

int HeadlessRunner::Start() {
    if (const auto reason = UnsafeNameReason(name_)) {
        std::fprintf(err_, "velomire: %s\n", qPrintable(*reason));
        return 1;
    }
    const QString path = SettingsPath(name_);
    const LoadResult r = ReadSettingsFile(name_);
    if (r.status == LoadStatus::Missing) {
        std::fprintf(err_, "velomire: setting %s not found: no file %s\n",
                     qPrintable(Quoted(name_)), qPrintable(path));
        return 1;
    }
    if (r.status == LoadStatus::Invalid) {
        std::fprintf(err_, "velomire: %s.vmc is not a Velomire Configuration file (%s)\n",
                     qPrintable(name_), qPrintable(r.error));
        return 1;
    }
    // What a fresh window does: identity output notes and channels, then the file; the
    // remap switch follows channel 16's entry, as it does in the window.
    engine_.path.SetTransposition(0);
    engine_.path.SetRemapAll(false);
    engine_.ApplySettings(r.data);
    if (r.data.channels[15] == 0)
        engine_.path.SetRemapAll(true);
    indevice_ = r.data.indevice;
    outdevice_ = r.data.outdevice;
    Say(QStringLiteral("loaded setting %1 from %2").arg(Quoted(name_), path));
    Say(QStringLiteral("MIDI system: %1").arg(QString::fromStdString(engine_.system().Name())));
    // Output first, so the input's Local Control Off reaches the instrument.
    started_ = true;
    PollOutput();
    PollInput();
    poll_.start();
    return 0;
}

void HeadlessRunner::Poll() {
    PollOutput();
    PollInput();
}

void HeadlessRunner::PollOutput() {
    if (stopped_)
        return;
    MIDIOutput& port = engine_.MIDIOutput1;
    const QString wanted = TrimSpaces(DecodeDeviceName(outdevice_));
    if (wanted == QLatin1String(kNotEnabledText)) {
        if (!outWaiting_)
            Say(QStringLiteral("output not enabled in this setting"));
        outWaiting_ = true;
        return;
    }
    const int count = port.DeviceCount();
    QStringList names;
    int position = -1;
    // Position 1 is Velomire's own virtual port, then the devices.
    for (int id = -1; id < count; ++id) {
        const QString n = port.DeviceName(id);
        if (id >= 0)
            names << n;
        if (position < 0 && TrimSpaces(n) == wanted)
            position = id + kFirstOutputPosition;
    }
    if (position < 0) {
        if (port.State() != 0) {
            CloseMidiOut(port);
            Say(QStringLiteral("output %1 disappeared; waiting for it").arg(Quoted(wanted)));
            outWaiting_ = true;
        } else if (!outWaiting_) {
            Say(QStringLiteral("output %1 not present (present: %2); waiting for it")
                    .arg(Quoted(wanted), Present(names)));
            outWaiting_ = true;
        }
        return;
    }
    if (port.State() != 0)
        return;
    if (OpenMidiOut(port, position)) {
        Say(QStringLiteral("output %1 opened").arg(Quoted(wanted)));
        outWaiting_ = false;
    } else if (!outWaiting_) {
        Say(QStringLiteral("output %1 failed to open; retrying").arg(Quoted(wanted)));
        outWaiting_ = true;
    }
}

void HeadlessRunner::PollInput() {
    if (stopped_)
        return;
    MIDIInput& port = engine_.MIDIInput1;
    const QString wanted = TrimSpaces(DecodeDeviceName(indevice_));
    if (wanted == QLatin1String(kNotEnabledText)) {
        if (!inWaiting_)
            Say(QStringLiteral("input not enabled in this setting"));
        inWaiting_ = true;
        return;
    }
    const int count = port.DeviceCount();
    QStringList names;
    int position = -1;
    for (int id = 0; id < count; ++id) {
        const QString n = port.DeviceName(id);
        names << n;
        if (position < 0 && TrimSpaces(n) == wanted)
            position = id + kFirstInputPosition;
    }
    if (position < 0) {
        if (port.State() != 0) {
            CloseMidiIn(port);
            Say(QStringLiteral("input %1 disappeared; waiting for it").arg(Quoted(wanted)));
            inWaiting_ = true;
        } else if (!inWaiting_) {
            Say(QStringLiteral("input %1 not present (present: %2); waiting for it")
                    .arg(Quoted(wanted), Present(names)));
            inWaiting_ = true;
        }
        return;
    }
    if (port.State() != 0)
        return;
    if (OpenMidiIn(port, position)) {
        Say(QStringLiteral("input %1 opened").arg(Quoted(wanted)));
        inWaiting_ = false;
        SendLocalControlOff(engine_.MIDIOutput1);
    } else if (!inWaiting_) {
        Say(QStringLiteral("input %1 failed to open; retrying").arg(Quoted(wanted)));
        inWaiting_ = true;
    }
}

void HeadlessRunner::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    poll_.stop();
    if (!started_)
        return;
    const int sounding = engine_.path.SoundingCount();
    engine_.path.ReleaseSounding(engine_.MIDIOutput1);
    engine_.Shutdown();
    Say(QStringLiteral("stopped (%1 sounding notes released)").arg(sounding));
}

namespace {
int g_signalFds[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_signalFds[0], &c, 1);
}
} // namespace

void QuitOnTerminationSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [] {
        char c = 0;
        [[maybe_unused]] const auto n = ::read(g_signalFds[1], &c, 1);
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = &OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

} // namespace velomire
