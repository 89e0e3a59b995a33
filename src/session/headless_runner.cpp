#include "session/headless_runner.h"

#include <QCoreApplication>
#include <QStringList>

#include <utility>

namespace velomire {

namespace {
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
    const Session::Outcome loaded = session_.LoadSetting(name_);
    if (!loaded.ok) {
        Complain(loaded.message);
        return 1;
    }
    const QString path = session_.Store().PathOf(name_);
    StageLock::Taken taken = StageLock::Take(path, qEnvironmentVariable("XDG_RUNTIME_DIR"));
    if (!taken.refusal.isEmpty()) {
        Complain(QStringLiteral("another Velomire already plays setting %1 (%2)")
                     .arg(Quoted(name_), taken.refusal));
        return 1;
    }
    if (!taken.warning.isEmpty())
        Complain(taken.warning);
    lock_ = std::move(taken.lock);
    Say(QStringLiteral("loaded setting %1 from %2").arg(Quoted(name_), path));
    return 0;
}

void HeadlessRunner::Run() {
    Say(QStringLiteral("MIDI system: %1").arg(QString::fromStdString(session_.midi().Name())));
    started_ = true;
    using D = Session::Direction;
    for (const auto& [d, kind] : {std::pair{D::Output, "output"}, std::pair{D::Input, "input"}})
        if (session_.Chosen(d).empty())
            Say(QStringLiteral("%1 not enabled in this setting").arg(QLatin1String(kind)));
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
