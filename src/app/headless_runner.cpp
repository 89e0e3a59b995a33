#include "app/headless_runner.h"

#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QStringList>

namespace velomire {

namespace {
QString Quoted(const QString& s) {
    return QLatin1Char('\'') + s + QLatin1Char('\'');
}

QString Present(const QStringList& names) {
    return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
}

bool NeedsEscape(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

QString Plural(int n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}
} // namespace

QString PrintableText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (!NeedsEscape(c))
            out += ch;
        else if (c < 0x80)
            out += QStringLiteral("\\x%1").arg(uint{c}, 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(uint{c}, 4, 16, QLatin1Char('0'));
    }
    return out;
}

HeadlessRunner::HeadlessRunner(MidiSystem& midi, QString name, std::FILE* out, std::FILE* err,
                               QObject* parent)
    : QObject(parent), engine_(midi, this), name_(std::move(name)), out_(out), err_(err) {
    poll_.setInterval(kPollMilliseconds);
    connect(&poll_, &QTimer::timeout, this, &HeadlessRunner::Poll);
    connect(&engine_, &Engine::MessagesLost, this, &HeadlessRunner::Say);
}

HeadlessRunner::~HeadlessRunner() {
    Stop();
}

void HeadlessRunner::Say(const QString& line) {
    std::fprintf(out_, "velomire: %s\n", qPrintable(PrintableText(line)));
    std::fflush(out_);
}

void HeadlessRunner::Complain(const QString& line) {
    std::fprintf(err_, "velomire: %s\n", qPrintable(PrintableText(line)));
    std::fflush(err_);
}

int HeadlessRunner::Load() {
    const SettingsStore store = SettingsStore::InWorkingDirectory();
    if (const auto reason = store.UnsafeNameReason(name_)) {
        Complain(*reason);
        return 1;
    }
    const QString path = store.PathOf(name_);
    const LoadResult r = store.Read(name_);
    if (r.status == LoadStatus::Missing) {
        Complain(QStringLiteral("setting %1 not found: no file %2").arg(Quoted(name_), path));
        return 1;
    }
    if (r.status == LoadStatus::Invalid) {
        Complain(
            QStringLiteral("%1.vmc is not a Velomire Configuration file (%2)").arg(name_, r.error));
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
    return 0;
}

void HeadlessRunner::Run() {
    Say(QStringLiteral("MIDI system: %1").arg(QString::fromStdString(engine_.system().Name())));
    // Output first, so the input's Local Control Off reaches the instrument.
    started_ = true;
    PollOutput();
    PollInput();
    poll_.start();
}

void HeadlessRunner::Poll() {
    if (!engine_.MIDIOutput1.SystemAlive()) {
        // Its clients are gone for good; a fresh start reaches a restarted server.
        Say(QStringLiteral("the MIDI system has stopped; exiting so that it can be restarted"));
        QCoreApplication::exit(1);
        return;
    }
    PollOutput();
    PollInput();
}

namespace {

// One port's share of a poll: finds the stored name in the port's fresh list, closes the
// port when its device has vanished and opens it when it is back. `waiting` keeps each
// state from being reported on every poll. True when the port has just been opened.
template <typename Port, typename OpenFn, typename CloseFn, typename SayFn>
bool FollowDevice(const QString& kind, Port& port, const DeviceNameField& stored, int firstId,
                  int firstPosition, bool& waiting, OpenFn open, CloseFn close, SayFn say) {
    const QString wanted = TrimSpaces(DecodeDeviceName(stored));
    if (wanted == QLatin1String(kNotEnabledText)) {
        if (!waiting)
            say(QStringLiteral("%1 not enabled in this setting").arg(kind));
        waiting = true;
        return false;
    }
    const int count = port.DeviceCount();
    QStringList names;
    int position = -1;
    for (int id = firstId; id < count; ++id) {
        const QString n = port.DeviceName(id);
        if (id >= 0) // -1 is Velomire's own virtual output, not a device
            names << n;
        if (position < 0 && TrimSpaces(n) == wanted)
            position = id - firstId + firstPosition;
    }
    if (position < 0) {
        if (port.State() != 0) {
            close(port);
            say(QStringLiteral("%1 %2 disappeared; waiting for it").arg(kind, Quoted(wanted)));
            waiting = true;
        } else if (!waiting) {
            say(QStringLiteral("%1 %2 not present (present: %3); waiting for it")
                    .arg(kind, Quoted(wanted), Present(names)));
            waiting = true;
        }
        return false;
    }
    if (port.State() != 0)
        return false;
    if (open(port, position)) {
        say(QStringLiteral("%1 %2 opened").arg(kind, Quoted(wanted)));
        waiting = false;
        return true;
    }
    if (!waiting)
        say(QStringLiteral("%1 %2 failed to open; retrying").arg(kind, Quoted(wanted)));
    waiting = true;
    return false;
}

} // namespace

void HeadlessRunner::PollOutput() {
    if (stopped_)
        return;
    // Position 1 of the output list is the virtual port (-1), then the devices.
    FollowDevice(QStringLiteral("output"), engine_.MIDIOutput1, outdevice_, -1,
                 kFirstOutputPosition - 1, outWaiting_, &OpenMidiOut, &CloseMidiOut,
                 [this](const QString& line) { Say(line); });
}

void HeadlessRunner::PollInput() {
    if (stopped_)
        return;
    if (FollowDevice(QStringLiteral("input"), engine_.MIDIInput1, indevice_, 0, kFirstInputPosition,
                     inWaiting_, &OpenMidiIn, &CloseMidiIn,
                     [this](const QString& line) { Say(line); }))
        SendLocalControlOff(engine_.MIDIOutput1);
}

void HeadlessRunner::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    poll_.stop();
    if (!started_)
        return;
    const Engine::StopReport r = engine_.Shutdown();
    QStringList said;
    if (r.left > 0 || r.left == r.released)
        said << Plural(r.left, "sounding note released", "sounding notes released");
    if (r.left < r.released)
        said << Plural(r.released - r.left, "note-off", "note-offs") +
                    (r.outputOpen
                         ? QStringLiteral(" could not be sent: the MIDI server did not answer")
                         : QStringLiteral(" could not be sent: no output is open"));
    if (const QString lost = Engine::Describe(engine_.CountLosses()); !lost.isEmpty())
        said << lost;
    Say(QStringLiteral("stopped (%1)").arg(said.join(QStringLiteral("; "))));
}

} // namespace velomire
