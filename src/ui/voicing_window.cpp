#include "ui/voicing_window.h"

#include "core/keyboard/note_names.h"
#include "core/velocity/statistics.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace velomire {

namespace {

constexpr int kAxisHeight = 16;
constexpr int kLegendHeight = 18;
const QColor kSetAsideColour(230, 150, 20);
const QColor kBeforeColour(170, 190, 220);
const QColor kAfterColour(30, 70, 160);
const QColor kShortColour(200, 30, 30);
const QColor kReachedColour(20, 140, 60);

QString Lu(double v) {
    return QString::number(v, 'f', 1);
}

// The slider runs over percent of the keys that must reach the target.
int SliderValue(double share) {
    return static_cast<int>(std::lround(share * 100));
}

// The loudness a run heard at voiced velocity i, over the keys the fit voiced.
std::vector<double> Heard(const LoudnessTable& t, const VoicingResult& r, int i) {
    std::vector<double> v;
    for (int k = 0; k < 128; ++k)
        if (r.keys[static_cast<std::size_t>(k)].status == VoicingStatus::Fitted && t.Sounded(k, i))
            v.push_back(*t.At(k, i));
    return v;
}

} // namespace

VoicingWindow::VoicingWindow(Session& session, MessageBoxes& boxes, LoudnessTable heard,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), session_(session), boxes_(boxes), heard_(std::move(heard)) {
    setWindowTitle(QStringLiteral("Voice the sound - Velomire"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    auto* help = new QLabel(
        QStringLiteral("Each key gets a correction after its own curve that brings its loudness "
                       "onto the keyboard's. Calibrate the keyboard first, then voice the "
                       "sound: a later calibration replaces the voicing. Apply it (Ctrl+Z "
                       "undoes it), then measure again to hear what it reached."),
        this);
    help->setWordWrap(true);
    layout->addWidget(help);

    chart_ = new VoicingChart(this);
    layout->addWidget(chart_, 1);

    auto* keyRow = new QHBoxLayout;
    readout_ = new QLabel(this);
    readout_->setWordWrap(true);
    takeBack_ = new QPushButton(QStringLiteral("&Count it all the same"), this);
    takeBack_->setCheckable(true);
    keyRow->addWidget(readout_, 1);
    keyRow->addWidget(takeBack_);
    layout->addLayout(keyRow);

    auto* shareRow = new QHBoxLayout;
    share_ = new QSlider(Qt::Horizontal, this);
    share_->setRange(SliderValue(kVoicingKeepLoudnessShare),
                     SliderValue(kVoicingEveryKeyEvenShare));
    share_->setValue(SliderValue(kDefaultVoicingShare));
    share_->setAccessibleName(QStringLiteral("Between keep the loudness and every key even"));
    shareRow->addWidget(new QLabel(QStringLiteral("Keep the loudness"), this));
    shareRow->addWidget(share_, 1);
    shareRow->addWidget(new QLabel(QStringLiteral("Every key even"), this));
    layout->addLayout(shareRow);

    figures_ = new QLabel(this);
    figures_->setWordWrap(true);
    figures_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(figures_);

    auto* buttons = new QHBoxLayout;
    apply_ = new QPushButton(QStringLiteral("&Apply"), this);
    measure_ = new QPushButton(QStringLiteral("&Measure again"), this);
    close_ = new QPushButton(QStringLiteral("Cancel"), this);
    buttons->addStretch(1);
    for (QPushButton* b : {apply_, measure_, close_})
        buttons->addWidget(b);
    layout->addLayout(buttons);

    connect(chart_, &VoicingChart::KeyPicked, this, &VoicingWindow::Select);
    connect(share_, &QSlider::valueChanged, this, [this](int value) {
        options_.reachShare = value / 100.0;
        Fit();
    });
    connect(takeBack_, &QPushButton::toggled, this, [this](bool on) {
        if (selected_ < 0)
            return;
        options_.takenBack.set(static_cast<std::size_t>(selected_), on);
        Fit();
    });
    connect(apply_, &QPushButton::clicked, this, &VoicingWindow::Apply);
    connect(measure_, &QPushButton::clicked, this, &VoicingWindow::MeasureAgain);
    connect(close_, &QPushButton::clicked, this, &QWidget::close);

    options_.reachShare = kDefaultVoicingShare;
    Fit();
    const std::vector<int> keys = heard_.Keys();
    Select(keys.empty() ? -1 : keys.front());
    resize(900, 560);
}

void VoicingWindow::Fit() {
    result_ = FitVoicing(heard_, session_.notes(), options_);
    Refresh();
}

void VoicingWindow::Select(int note) {
    selected_ = note;
    Refresh();
}

void VoicingWindow::Apply() {
    if (!result_.ok)
        return;
    session_.ApplyVoicing(result_);
    applied_ = result_;
    reached_.reset();
    Refresh();
}

void VoicingWindow::MeasureAgain() {
    if (!applied_ || !remeasure_)
        return;
    // Each key through the correction alone: the run records what the voiced velocity w
    // gives, which is what the target at w speaks of.
    const VoicingResult applied = *applied_;
    const QString why = remeasure_([applied](int key, int velocity) {
        const KeyVoicing& v = applied.keys[static_cast<std::size_t>(key & 0x7F)];
        if (v.status != VoicingStatus::Fitted)
            return velocity;
        return static_cast<int>(MapVelocity(velocity, v.correctionExp, 0, v.correctionVmax));
    });
    if (!why.isEmpty())
        boxes_.Inform(QStringLiteral("Velomire"), why);
}

void VoicingWindow::SetRemeasure(Remeasure remeasure) {
    remeasure_ = std::move(remeasure);
    Refresh();
}

void VoicingWindow::ShowReached(const LoudnessTable& reached) {
    reached_ = reached;
    Refresh();
}

void VoicingWindow::Refresh() {
    chart_->Show(&result_, reached_ ? &*reached_ : nullptr, selected_);
    apply_->setEnabled(result_.ok);
    measure_->setEnabled(applied_.has_value() && remeasure_ != nullptr);
    // Before Apply it leaves everything as it was; after, Apply has been done.
    close_->setText(applied_ ? QStringLiteral("Close") : QStringLiteral("Cancel"));
    figures_->setText(Figures());

    const KeyVoicing* key =
        selected_ >= 0 ? &result_.keys[static_cast<std::size_t>(selected_)] : nullptr;
    QString text;
    if (key && key->status != VoicingStatus::NotMeasured) {
        text = note_num2name(selected_) + QStringLiteral(": ");
        if (key->status == VoicingStatus::SetAside)
            text +=
                QStringLiteral("set aside, ") + QString::fromStdString(VoicingSetAsideText(*key));
        else {
            QStringList parts;
            for (std::size_t i = 0; i < key->before.size(); ++i)
                parts << QStringLiteral("%1: %2 → %3 LU")
                             .arg(result_.velocities[i])
                             .arg(Lu(key->before[i]), Lu(key->after[i]));
            text += parts.join(QStringLiteral(", "));
            if (key->Short())
                text += QStringLiteral(" (%1 LU short)").arg(Lu(key->Shortfall()));
        }
    }
    readout_->setText(text);
    // Only a key set aside as far below can be counted again (or one already taken back).
    const bool canTakeBack = key && (key->reason == VoicingSetAside::FarBelow || key->takenBack);
    takeBack_->setEnabled(canTakeBack);
    const QSignalBlocker quiet(takeBack_);
    takeBack_->setChecked(key && key->takenBack);
}

QString VoicingWindow::Figures() const {
    const VoicingResult& r = result_;
    if (!r.ok)
        return QStringLiteral("Nothing to voice: the run must have measured at least two "
                              "velocities of a key that answers them.");
    QStringList lines;
    QStringList levels;
    for (std::size_t i = 0; i < r.velocities.size(); ++i)
        levels << QStringLiteral("%1: %2 → %3")
                      .arg(r.velocities[i])
                      .arg(Lu(r.levelBefore[i]), Lu(r.levelAfter[i]));
    lines << QStringLiteral("Level (LUFS) before → after: ") + levels.join(QStringLiteral(", "));
    lines << QStringLiteral("Spread across %1 keys (p95, LU): %2 → %3 at the measured "
                            "velocities, %4 → %5 between them")
                 .arg(r.counted)
                 .arg(Lu(r.spreadBefore), Lu(r.spreadAfter), Lu(r.spreadBetweenBefore),
                      Lu(r.spreadBetweenAfter));
    QStringList shortKeys;
    for (const int k : r.ShortKeys())
        shortKeys << QStringLiteral("%1 %2 LU")
                         .arg(note_num2name(k),
                              Lu(r.keys[static_cast<std::size_t>(k)].Shortfall()));
    lines << (shortKeys.isEmpty()
                  ? QStringLiteral("Every key reaches the target.")
                  : QStringLiteral("Short of the target: ") + shortKeys.join(QStringLiteral(", ")));
    QStringList aside;
    for (const int k : r.SetAsideKeys())
        aside << note_num2name(k) + QStringLiteral(" (") +
                     QString::fromStdString(
                         VoicingSetAsideText(r.keys[static_cast<std::size_t>(k)])) +
                     QStringLiteral(")");
    if (!aside.isEmpty())
        lines << QStringLiteral("Set aside, left as they are: ") + aside.join(QStringLiteral(", "));
    if (reached_ && applied_) {
        QStringList measured;
        std::vector<double> deviations;
        for (int i = 0; i < reached_->VelocityCount(); ++i) {
            const std::vector<double> heard = Heard(*reached_, *applied_, i);
            const double median = MedianOf(heard);
            for (const double l : heard)
                deviations.push_back(std::abs(l - median));
            measured << QStringLiteral("%1: %2")
                            .arg(reached_->Velocities()[static_cast<std::size_t>(i)])
                            .arg(Lu(median));
        }
        const double p95 = NearestRankP95(std::move(deviations));
        lines << QStringLiteral("Measured after Apply: level (LUFS) %1; spread (p95) %2 LU")
                     .arg(measured.join(QStringLiteral(", ")), Lu(p95));
    }
    if (applied_)
        lines << QStringLiteral("Applied (Ctrl+Z undoes it).");
    return lines.join(QLatin1Char('\n'));
}

void VoicingWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---- chart ----

VoicingChart::VoicingChart(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMinimumHeight(200);
    setAccessibleName(QStringLiteral("Loudness per key, before and after"));
}

void VoicingChart::Show(const VoicingResult* result, const LoudnessTable* reached, int selected) {
    result_ = result;
    reached_ = reached;
    selected_ = selected;
    first_ = kHighestKey;
    last_ = kLowestKey;
    for (int k = 0; result && k < 128; ++k)
        if (result->keys[static_cast<std::size_t>(k)].status != VoicingStatus::NotMeasured) {
            first_ = std::min(first_, k);
            last_ = std::max(last_, k);
        }
    if (first_ > last_)
        std::swap(first_, last_);
    update();
}

QRect VoicingChart::Bars() const {
    return QRect(0, kLegendHeight, width(), height() - kLegendHeight - kAxisHeight);
}

QRect VoicingChart::KeyRect(int note) const {
    const QRect bars = Bars();
    const int n = last_ - first_ + 1;
    const int x0 = bars.width() * (note - first_) / n;
    const int x1 = bars.width() * (note - first_ + 1) / n;
    return QRect(x0, bars.top(), x1 - x0, bars.height());
}

int VoicingChart::KeyAt(QPoint p) const {
    for (int k = first_; k <= last_; ++k)
        if (KeyRect(k).contains(p))
            return k;
    return -1;
}

void VoicingChart::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    const int k = KeyAt(event->position().toPoint());
    if (k >= 0)
        Q_EMIT KeyPicked(k);
}

void VoicingChart::keyPressEvent(QKeyEvent* event) {
    int k = selected_ < 0 ? first_ : selected_;
    switch (event->key()) {
    case Qt::Key_Left:
        k = std::max(first_, k - 1);
        break;
    case Qt::Key_Right:
        k = std::min(last_, k + 1);
        break;
    case Qt::Key_Home:
        k = first_;
        break;
    case Qt::Key_End:
        k = last_;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    Q_EMIT KeyPicked(k);
}

void VoicingChart::PaintKey(QPainter& p, int note, const QRect& column) const {
    const KeyVoicing& v = result_->keys[static_cast<std::size_t>(note)];
    if (v.status == VoicingStatus::SetAside) {
        p.fillRect(column, kSetAsideColour);
        return;
    }
    if (v.status != VoicingStatus::Fitted)
        return;
    const std::size_t n = v.before.size();
    const double middle = column.center().y();
    const double perLu = column.height() / 2.0 / kScaleLu;
    const auto y = [&](double lu) { return middle - std::clamp(lu, -kScaleLu, kScaleLu) * perLu; };
    for (std::size_t i = 0; i < n; ++i) {
        const int x0 = column.left() + static_cast<int>(column.width() * i / n);
        const int x1 = column.left() + static_cast<int>(column.width() * (i + 1) / n);
        const QRectF slot(x0, 0, std::max(1, x1 - x0), 0);
        const double b = y(v.before[i]);
        p.fillRect(QRectF(slot.left(), std::min(b, middle), slot.width(), std::abs(b - middle)),
                   kBeforeColour);
        const double a = y(v.after[i]);
        const bool isShort = v.after[i] < -kVoicingToleranceLu;
        p.fillRect(QRectF(slot.left(), a - 1.5, slot.width(), 3),
                   isShort ? kShortColour : kAfterColour);
        if (std::abs(v.before[i]) > kScaleLu || std::abs(v.after[i]) > kScaleLu) {
            p.setPen(palette().color(QPalette::Text));
            p.drawText(QRectF(slot.left(), v.before[i] > 0 ? column.top() : column.bottom() - 12,
                              slot.width(), 12),
                       Qt::AlignCenter,
                       v.before[i] > 0 ? QStringLiteral("▲") : QStringLiteral("▼"));
        }
        if (reached_ && static_cast<int>(i) < reached_->VelocityCount() &&
            reached_->Sounded(note, static_cast<int>(i)) && i < result_->target.size()) {
            const double r = y(*reached_->At(note, static_cast<int>(i)) - result_->target[i]);
            p.setBrush(kReachedColour);
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(slot.center().x(), r), 2.5, 2.5);
        }
    }
}

void VoicingChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    if (!result_ || !result_->ok)
        return;
    const QRect bars = Bars();
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(bars.left(), bars.center().y(), bars.right(), bars.center().y());
    for (int k = first_; k <= last_; ++k) {
        const QRect r = KeyRect(k).adjusted(1, 0, -1, 0);
        PaintKey(p, k, r);
        if (k == selected_) {
            p.setPen(QPen(palette().color(QPalette::Highlight), 2));
            p.setBrush(Qt::NoBrush);
            p.drawRect(r.adjusted(0, 1, -1, -1));
        }
    }
    // The axis: the first key and every C by name (every key when there is room).
    p.setPen(palette().color(QPalette::Text));
    const int axis = height() - kAxisHeight;
    const bool roomy = KeyRect(first_).width() >= 28;
    for (int k = first_; k <= last_; ++k) {
        if (!roomy && k % 12 != 0 && k != first_)
            continue;
        const QRect r = KeyRect(k);
        p.drawText(QRect(r.left() - 20, axis + 2, r.width() + 40, kAxisHeight - 2), Qt::AlignCenter,
                   note_num2name(k));
    }
    p.drawText(QRect(4, 0, width() - 8, kLegendHeight), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Each velocity left to right. Light: before, from the keyboard's "
                              "level; dark: after, from the target (red: short); green dot: "
                              "measured after Apply; amber: set aside. Scale ±%1 LU.")
                   .arg(kScaleLu));
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

} // namespace velomire
