#include "ui/listen_window.h"

#include "core/keyboard/note_names.h"
#include "core/velocity/note_table.h"
#include "session/listening.h"
#include "ui/voicing_window.h"
#include "ui/widgets/loudness_chart.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace velomire {

namespace {
const QString kTitle = QStringLiteral("Velomire");
constexpr int kLevelEveryMs = 200;

QString Duration(double seconds) {
    const int s = static_cast<int>(std::ceil(seconds));
    return s >= 60 ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'))
                   : QStringLiteral("%1 s").arg(s);
}
} // namespace

ListenWindow::ListenWindow(Session& session, MessageBoxes& boxes, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(session), boxes_(boxes),
      listening_(session.listening()) {
    setWindowTitle(QStringLiteral("Listen to the synth - Velomire"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    auto* help = new QLabel(
        QStringLiteral("Velomire plays every key of the range at each velocity, one note at a "
                       "time, through the MIDI output, and measures how loud the synth "
                       "answers (momentary loudness, EBU R128). Connect the synth's audio "
                       "output below. The keyboard is ignored while it plays."),
        this);
    help->setWordWrap(true);
    layout->addWidget(help);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    layout->addWidget(status_);

    auto* grid = new QGridLayout;
    sources_ = new QComboBox(this);
    refresh_ = new QPushButton(QStringLiteral("Re&fresh"), this);
    level_ = new QLabel(this);
    auto* sourceLabel = new QLabel(QStringLiteral("&Listen to:"), this);
    sourceLabel->setBuddy(sources_);
    grid->addWidget(sourceLabel, 0, 0);
    grid->addWidget(sources_, 0, 1, 1, 3);
    grid->addWidget(refresh_, 0, 4);
    grid->addWidget(level_, 0, 5);
    from_ = new QComboBox(this);
    to_ = new QComboBox(this);
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        from_->addItem(note_num2name(k), k);
        to_->addItem(note_num2name(k), k);
    }
    from_->setCurrentIndex(0);
    to_->setCurrentIndex(to_->count() - 1);
    velocities_ = new QLineEdit(QStringLiteral("32 64 96 127"), this);
    auto* keysLabel = new QLabel(QStringLiteral("&Keys from"), this);
    keysLabel->setBuddy(from_);
    auto* velLabel = new QLabel(QStringLiteral("&Velocities:"), this);
    velLabel->setBuddy(velocities_);
    grid->addWidget(keysLabel, 1, 0);
    grid->addWidget(from_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("to"), this), 1, 2);
    grid->addWidget(to_, 1, 3);
    grid->addWidget(velLabel, 1, 4);
    grid->addWidget(velocities_, 1, 5);
    layout->addLayout(grid);

    auto* runRow = new QHBoxLayout;
    start_ = new QPushButton(QStringLiteral("&Start…"), this);
    cancel_ = new QPushButton(QStringLiteral("&Cancel"), this);
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(true);
    progress_->setRange(0, 1);
    progress_->setValue(0);
    progress_->setFormat(QString());
    runRow->addWidget(start_);
    runRow->addWidget(cancel_);
    runRow->addWidget(progress_, 1);
    layout->addLayout(runRow);
    result_ = new QLabel(this);
    result_->setWordWrap(true);
    layout->addWidget(result_);

    chart_ = new LoudnessChart(this);
    layout->addWidget(chart_, 1);
    auto* bottom = new QHBoxLayout;
    silent_ = new QLabel(this);
    silent_->setWordWrap(true);
    save_ = new QPushButton(QStringLiteral("Save &table…"), this);
    bottom->addWidget(silent_, 1);
    bottom->addWidget(save_);
    voice_ = new QPushButton(QStringLiteral("&Voice…"), this);
    voice_->setToolTip(QStringLiteral("Even out the loudness across the keys from this table"));
    bottom->addWidget(voice_);
    layout->addLayout(bottom);
    resize(760, 520);

    connect(refresh_, &QPushButton::clicked, this, &ListenWindow::FillSources);
    connect(sources_, &QComboBox::activated, this, &ListenWindow::OnSourcePicked);
    connect(start_, &QPushButton::clicked, this, &ListenWindow::OnStart);
    connect(cancel_, &QPushButton::clicked, &listening_, &Listening::Cancel);
    connect(save_, &QPushButton::clicked, this, &ListenWindow::OnSave);
    connect(voice_, &QPushButton::clicked, this, &ListenWindow::OnVoice);
    connect(&listening_, &Listening::Progress, this, &ListenWindow::OnProgress);
    connect(&listening_, &Listening::Finished, this, &ListenWindow::OnFinished);
    connect(from_, &QComboBox::currentIndexChanged, this, [this] { ShowTable(-1); });
    connect(to_, &QComboBox::currentIndexChanged, this, [this] { ShowTable(-1); });

    // The port exists while this window does.
    const QString error = listening_.OpenInput();
    inputOpen_ = error.isEmpty();
    if (!inputOpen_) {
        status_->setText(
            QStringLiteral("Listening needs a JACK server, and none answers: %1.").arg(error));
    } else {
        levelTimer_ = new QTimer(this);
        connect(levelTimer_, &QTimer::timeout, this, &ListenWindow::ShowLevel);
        levelTimer_->start(kLevelEveryMs);
        FillSources();
    }
    ShowTable(-1);
    EnableControls();
}

ListenWindow::~ListenWindow() {
    // A run cut off now is not shown: the labels are going.
    disconnect(&listening_, nullptr, this, nullptr);
    listening_.CloseInput();
}

void ListenWindow::closeEvent(QCloseEvent* event) {
    listening_.Cancel();
    event->accept();
}

void ListenWindow::FillSources() {
    const std::string connected = listening_.Connected();
    sources_->clear();
    sources_->addItem(QStringLiteral("(choose the synth's audio output)"));
    for (const std::string& s : listening_.Sources())
        sources_->addItem(QString::fromStdString(s));
    const int at = sources_->findText(QString::fromStdString(connected));
    sources_->setCurrentIndex(connected.empty() || at < 0 ? 0 : at);
    status_->setText(
        connected.empty()
            ? QStringLiteral("Choose the synth's audio output (or connect it to %1 in a patchbay).")
                  .arg(Quoted(QString::fromStdString(listening_.PortName())))
            : QStringLiteral("Listening to %1.").arg(Quoted(QString::fromStdString(connected))));
    EnableControls();
}

void ListenWindow::OnSourcePicked(int index) {
    if (index <= 0)
        return;
    const std::string source = sources_->itemText(index).toStdString();
    if (!listening_.Connect(source)) {
        status_->setText(QStringLiteral("%1 could not be connected; it may have gone.")
                             .arg(Quoted(sources_->itemText(index))));
        FillSources();
        return;
    }
    status_->setText(QStringLiteral("Listening to %1.").arg(Quoted(sources_->itemText(index))));
    EnableControls();
}

void ListenWindow::ShowLevel() {
    const double lufs = listening_.InputLufs();
    level_->setText(lufs <= LoudnessMeter::kFloorLufs
                        ? QStringLiteral("silence")
                        : QStringLiteral("%1 LUFS").arg(lufs, 0, 'f', 1));
}

std::vector<int> ListenWindow::ParseVelocities(const QString& text) {
    std::vector<int> velocities;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int v = word.toInt(&ok);
        if (!ok || v < 1 || v > 127)
            return {};
        velocities.push_back(v);
    }
    if (static_cast<int>(velocities.size()) > LoudnessTable::kMaxVelocities)
        return {};
    return velocities;
}

int ListenWindow::LowKey() const {
    return std::min(from_->currentData().toInt(), to_->currentData().toInt());
}

int ListenWindow::HighKey() const {
    return std::max(from_->currentData().toInt(), to_->currentData().toInt());
}

void ListenWindow::OnStart() {
    MeasuringPlan plan;
    plan.lowKey = LowKey();
    plan.highKey = HighKey();
    plan.velocities = ParseVelocities(velocities_->text());
    if (plan.velocities.empty()) {
        boxes_.Inform(kTitle, QStringLiteral("Velocities are numbers from 1 to 127, at most %1, "
                                             "separated by spaces.")
                                  .arg(LoudnessTable::kMaxVelocities));
        return;
    }
    // Said before the warning: no question about a run that cannot start.
    if (const QString refused = listening_.Refusal(plan); !refused.isEmpty()) {
        boxes_.Inform(kTitle, refused);
        return;
    }
    const int notes = plan.NoteCount();
    const QString question =
        QStringLiteral("Velomire will play %1 notes (%2 keys × %3 velocities), about %4, "
                       "through %5, and listen to %6.\n\nThis makes sound, up to the synth's "
                       "loudest: set a comfortable volume first. Your keyboard is ignored "
                       "until the run ends.\n\nStart?")
            .arg(notes)
            .arg(plan.highKey - plan.lowKey + 1)
            .arg(plan.Velocities().size())
            .arg(Duration(plan.Seconds()))
            .arg(Quoted(QString::fromStdString(session_.Chosen(Session::Direction::Output))))
            .arg(Quoted(QString::fromStdString(listening_.Connected())));
    if (!boxes_.AskYesNo(kTitle, question))
        return;
    const QString refused = listening_.Start(std::move(plan));
    if (!refused.isEmpty()) {
        boxes_.Inform(kTitle, refused);
        return;
    }
    result_->setText(QStringLiteral("Level check…"));
    OnProgress();
}

void ListenWindow::OnProgress() {
    const MeasuringRun* run = listening_.Run();
    if (!run)
        return;
    progress_->setRange(0, std::max(1, run->NotesTotal()));
    progress_->setValue(run->NotesDone());
    progress_->setFormat(QStringLiteral("%1 of %2 notes, about %3 left")
                             .arg(run->NotesDone())
                             .arg(run->NotesTotal())
                             .arg(Duration(run->SecondsLeft())));
    if (run->phase() == MeasuringRun::Phase::Measuring)
        result_->setText(QStringLiteral("Level check passed (test note %1 LUFS, input noise %2 "
                                        "LUFS). Measuring…")
                             .arg(run->ProbeLufs(), 0, 'f', 1)
                             .arg(run->NoiseLufs(), 0, 'f', 1));
    chart_->Show(run->Table(), run->plan().lowKey, run->plan().highKey, run->CurrentKey());
    EnableControls();
}

void ListenWindow::OnFinished(bool complete, const QString& message) {
    result_->setText(message);
    if (voicing_ && TableIsVoiced())
        voicing_->ShowReached(listening_.Table());
    if (const MeasuringRun* run = listening_.Run(); run && complete) {
        progress_->setValue(progress_->maximum());
        progress_->setFormat(QStringLiteral("%1 notes measured").arg(run->NotesDone()));
    } else {
        progress_->setFormat(QStringLiteral("stopped"));
    }
    ShowTable(-1);
    EnableControls();
}

void ListenWindow::ShowTable(int sounding) {
    const LoudnessTable& table = listening_.Table();
    // The range of the last run when there is one, else the range chosen.
    const std::vector<int> keys = table.Keys();
    const int low = keys.empty() ? LowKey() : std::min(keys.front(), LowKey());
    const int high = keys.empty() ? HighKey() : std::max(keys.back(), HighKey());
    chart_->Show(table, low, high, sounding);
    QStringList silent;
    for (const int k : keys) {
        QStringList at;
        for (int v = 0; v < table.VelocityCount(); ++v)
            if (table.At(k, v) && !table.Sounded(k, v))
                at << QString::number(table.Velocities()[static_cast<std::size_t>(v)]);
        if (!at.isEmpty())
            silent << QStringLiteral("%1 (at %2)")
                          .arg(note_num2name(k), at.join(QStringLiteral(", ")));
    }
    silent_->setText(
        silent.isEmpty()
            ? QString()
            : QStringLiteral("Did not sound: %1.").arg(silent.join(QStringLiteral("; "))));
}

void ListenWindow::EnableControls() {
    const bool running = listening_.Running();
    const bool connected = inputOpen_ && !listening_.Connected().empty();
    sources_->setEnabled(inputOpen_ && !running);
    refresh_->setEnabled(inputOpen_ && !running);
    from_->setEnabled(!running);
    to_->setEnabled(!running);
    velocities_->setEnabled(!running);
    start_->setEnabled(connected && !running);
    cancel_->setEnabled(running);
    save_->setEnabled(!running && !listening_.Table().Empty());
    voice_->setEnabled(!running && listening_.Table().VelocityCount() >= 2 &&
                       !listening_.Table().Empty() && !TableIsVoiced());
}

bool ListenWindow::TableIsVoiced() const {
    return listening_.Run() && listening_.Run()->plan().velocityMap != nullptr;
}

void ListenWindow::OnVoice() {
    if (voicing_) {
        voicing_->raise();
        voicing_->activateWindow();
        return;
    }
    voicing_ = new VoicingWindow(session_, boxes_, listening_.Table(), this);
    const std::vector<int> keys = listening_.Table().Keys();
    const std::vector<int> velocities = listening_.Table().Velocities();
    voicing_->SetRemeasure([this, keys, velocities](std::function<int(int, int)> map) {
        MeasuringPlan plan;
        plan.lowKey = keys.front();
        plan.highKey = keys.back();
        plan.velocities = velocities;
        const QString question =
            QStringLiteral("Velomire will play the %1 notes again through the voicing, about "
                           "%2. This makes sound.\n\nStart?")
                .arg(plan.NoteCount())
                .arg(Duration(plan.Seconds()));
        if (!boxes_.AskYesNo(kTitle, question))
            return QString();
        const QString refused = listening_.Start(std::move(plan), std::move(map));
        if (refused.isEmpty()) {
            result_->setText(QStringLiteral("Level check…"));
            OnProgress();
        }
        return refused;
    });
    voicing_->show();
}

void ListenWindow::OnSave() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save the loudness table"), QStringLiteral("loudness.txt"),
        QStringLiteral("Text files (*.txt);;All files (*)"));
    if (!path.isEmpty())
        SaveTableTo(path);
}

void ListenWindow::SaveTableTo(const QString& path) {
    const QString error = listening_.SaveTable(path);
    boxes_.Inform(kTitle, error.isEmpty() ? QStringLiteral("Saved %1.").arg(Quoted(path)) : error);
}

} // namespace velomire
