#include "app/headless_runner.h"

#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QStringList>

#include <tuple>

namespace velomire {

namespace {
QString Quoted(const QString& s) {
    return QLatin1Char('\'') + s + QLatin1Char('\'');
}

bool NeedsEscape(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
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
    : QObject(parent), session_(midi, this), name_(std::move(name)), out_(out), err_(err) {
    connect(&session_, &Session::MessagesLost, this, &HeadlessRunner::Say);
    connect(&session_, &Session::DeviceNews, this, &HeadlessRunner::Say);
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
    StageLock::Taken taken = StageLock::Take(path, qEnvironmentVariable("XDG_RUNTIME_DIR"));
    if (!taken.refusal.isEmpty()) {
        Complain(QStringLiteral("another Velomire already plays setting %1 (%2)")
                     .arg(Quoted(name_), taken.refusal));
        return 1;
    }
    if (!taken.warning.isEmpty())
        Complain(taken.warning);
    lock_ = std::move(taken.lock);
    // What a fresh window does: identity output notes and channels, then the file; the
    // remap switch follows channel 16's entry, as it does in the window.
    SessionState start;
    TransposeOutnotes(start.notes, 0);
    RemapChannels(start.channels, false);
    session_.Start(start);
    session_.ApplySetting(r.data, name_);
    indevice_ = r.data.indevice;
    outdevice_ = r.data.outdevice;
    Say(QStringLiteral("loaded setting %1 from %2").arg(Quoted(name_), path));
    return 0;
}

void HeadlessRunner::Run() {
    Say(QStringLiteral("MIDI system: %1").arg(QString::fromStdString(session_.midi().Name())));
    started_ = true;
    using D = Session::Direction;
    for (const auto& [d, stored, kind] : {std::tuple{D::Output, &outdevice_, "output"},
                                          std::tuple{D::Input, &indevice_, "input"}}) {
        const QString wanted = TrimSpaces(DecodeDeviceName(*stored));
        if (wanted == QLatin1String("Not Enabled")) {
            Say(QStringLiteral("%1 not enabled in this setting").arg(QLatin1String(kind)));
            continue;
        }
        session_.Want(d, wanted.toStdString());
    }
    // Output first, so that the Local Control Off of the opening reaches the instrument.
    session_.FollowDevices(kPollMilliseconds);
}

void HeadlessRunner::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    if (!started_)
        return;
    QStringList said{Session::DescribeStop(session_.Shutdown())};
    if (const QString lost = Session::Describe(session_.CountLosses()); !lost.isEmpty())
        said << lost;
    Say(QStringLiteral("stopped (%1)").arg(said.join(QStringLiteral("; "))));
}

} // namespace velomire
