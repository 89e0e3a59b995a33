#include "ui/calibration_window.h"

#include "core/keyboard/note_names.h"
#include "core/velocity/curve_math.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace velomire {

namespace {

const QString kTitle = QStringLiteral("Velomire");
constexpr int kAxisHeight = 16;
const QColor kSetAsideColour(230, 150, 20);

QString Steps(double v) {
    return QString::number(v, 'f', 1);
}

} // namespace

CalibrationWindow::CalibrationWindow(Session& session, MessageBoxes& boxes, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(session), boxes_(boxes) {
    setWindowTitle(QStringLiteral("Calibrate the keyboard - Velomire"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    auto* help = new QLabel(
        QStringLiteral("Play every key you want evened out at least %1 times softly, then "
                       "choose the firm pass and play them at least %1 times firmly. Keys "
                       "outlined in red still need strikes. Choose a key in the chart (click, "
                       "or the arrow keys) to clear it or leave it out; keys left out keep "
                       "their curves. Then press Fit, look at the result, and Apply it "
                       "(Ctrl+Z undoes it).")
            .arg(kMinStrikesPerPass),
        this);
    help->setWordWrap(true);
    layout->addWidget(help);

    auto* passes = new QHBoxLayout;
    soft_ = new QPushButton(QStringLiteral("&Soft pass"), this);
    firm_ = new QPushButton(QStringLiteral("Fi&rm pass"), this);
    progress_ = new QLabel(this);
    // Checkable but not exclusive by Qt: exclusive buttons keep all but the checked one out
    // of the Tab chain; Refresh checks the pass in force.
    for (QPushButton* b : {soft_, firm_}) {
        b->setCheckable(true);
        passes->addWidget(b);
    }
    passes->addWidget(progress_, 1);
    layout->addLayout(passes);

    chart_ = new KeyChart(this);
    layout->addWidget(chart_, 1); // the chart takes the room a larger window gives

    auto* keyRow = new QHBoxLayout;
    readout_ = new QLabel(this);
    readout_->setWordWrap(true);
    clear_ = new QPushButton(QStringLiteral("&Clear key"), this);
    leaveOut_ = new QPushButton(QStringLiteral("&Leave key out"), this);
    leaveOut_->setCheckable(true);
    keyRow->addWidget(readout_, 1);
    keyRow->addWidget(clear_);
    keyRow->addWidget(leaveOut_);
    layout->addLayout(keyRow);

    auto* target = new QGridLayout;
    byKeyboard_ = new QRadioButton(QStringLiteral("&The keyboard:"), this);
    byKey_ = new QRadioButton(QStringLiteral("A &key you like:"), this);
    byKeyboard_->setChecked(true);
    share_ = new QSlider(Qt::Horizontal, this);
    // The share of keys that must follow the target, in percent.
    share_->setRange(static_cast<int>(kKeepLoudnessShare * 100),
                     static_cast<int>(kEveryKeyEvenShare * 100));
    share_->setValue(static_cast<int>(std::lround(kDefaultReachShare * 100)));
    share_->setToolTip(QStringLiteral("How many keys must reach the target exactly: all of them "
                                      "makes every key even, as loud as the weakest; fewer "
                                      "keep more of the keyboard's loudness."));
    reference_ = new QComboBox(this);
    for (int k = kLowestKey; k <= kHighestKey; ++k)
        reference_->addItem(note_num2name(k), k);
    reference_->setCurrentIndex(60 - kLowestKey);
    fit_ = new QPushButton(QStringLiteral("&Fit"), this);
    playMore_ = new QPushButton(QStringLiteral("&Play more"), this);
    playMore_->setToolTip(QStringLiteral("Set the fit aside and go on playing"));
    target->addWidget(byKeyboard_, 0, 0);
    target->addWidget(new QLabel(QStringLiteral("keep the loudness"), this), 0, 1);
    target->addWidget(share_, 0, 2);
    target->addWidget(new QLabel(QStringLiteral("every key even"), this), 0, 3);
    target->addWidget(fit_, 0, 4);
    target->addWidget(byKey_, 1, 0);
    target->addWidget(reference_, 1, 1, 1, 3, Qt::AlignLeft);
    target->addWidget(playMore_, 1, 4);
    target->setColumnStretch(2, 1);
    layout->addLayout(target);

    figures_ = new QLabel(this);
    figures_->setWordWrap(true);
    figures_->setTextFormat(Qt::RichText);
    layout->addWidget(figures_);
    setAside_ = new QLabel(this);
    setAside_->setWordWrap(true);
    setAside_->setTextFormat(Qt::RichText);
    layout->addWidget(setAside_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    apply_ = new QPushButton(QStringLiteral("&Apply"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    buttons->addWidget(apply_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);

    // Left to right, top to bottom.
    setTabOrder(soft_, firm_);
    setTabOrder(firm_, chart_);
    setTabOrder(chart_, clear_);
    setTabOrder(clear_, leaveOut_);
    setTabOrder(leaveOut_, byKeyboard_);
    setTabOrder(byKeyboard_, share_);
    setTabOrder(share_, fit_);
    setTabOrder(fit_, byKey_);
    setTabOrder(byKey_, reference_);
    setTabOrder(reference_, playMore_);
    setTabOrder(playMore_, apply_);
    setTabOrder(apply_, cancel_);

    connect(&session_, &Session::KeySounding, this, &CalibrationWindow::OnPlayed);
    connect(soft_, &QPushButton::clicked, this, [this] { SetPass(Pass::Soft); });
    connect(firm_, &QPushButton::clicked, this, [this] { SetPass(Pass::Firm); });
    connect(chart_, &KeyChart::KeyPicked, this, &CalibrationWindow::Select);
    connect(clear_, &QPushButton::clicked, this, [this] {
        run_.ClearKey(selected_);
        result_.reset();
        Refresh();
    });
    connect(leaveOut_, &QPushButton::clicked, this, [this](bool out) {
        run_.SetLeftOut(selected_, out);
        result_.reset();
        Refresh();
    });
    // The figures follow the target while a fit is shown.
    const auto refit = [this] {
        if (result_)
            Fit();
        else
            Refresh();
    };
    connect(share_, &QSlider::valueChanged, this, refit);
    connect(byKeyboard_, &QRadioButton::toggled, this, refit);
    connect(reference_, &QComboBox::currentIndexChanged, this, refit);
    connect(setAside_, &QLabel::linkActivated, this, [this](const QString& link) {
        const int note = link.toInt();
        run_.SetTakenBack(note, !run_.IsTakenBack(note));
        Fit();
    });
    connect(fit_, &QPushButton::clicked, this, &CalibrationWindow::Fit);
    connect(playMore_, &QPushButton::clicked, this, [this] {
        result_.reset();
        Refresh();
    });
    connect(apply_, &QPushButton::clicked, this, &CalibrationWindow::Apply);
    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    setMinimumWidth(640);
    resize(820, 560);
    Refresh();
    chart_->setFocus();
}

void CalibrationWindow::OnPlayed(int in, int, int velocity, int mapped) {
    lastPlayed_ = QStringLiteral("last played %1: %2, sent %3")
                      .arg(note_num2name(in))
                      .arg(velocity)
                      .arg(mapped);
    // A fit on screen stays until the player asks for more strikes.
    if (!result_ && run_.AddStrike(in, pass_, velocity))
        selected_ = in;
    Refresh();
}

void CalibrationWindow::SetPass(Pass pass) {
    pass_ = pass;
    Refresh();
}

void CalibrationWindow::Select(int note) {
    selected_ = std::clamp(note, kLowestKey, kHighestKey);
    Refresh();
}

void CalibrationWindow::Fit() {
    CalibrationOptions options;
    if (byKey_->isChecked())
        options.target = CalibrationTarget::ReferenceKey;
    options.reachShare = share_->value() / 100.0;
    options.referenceKey = reference_->currentData().toInt();
    result_ = FitCalibration(run_, session_.notes(), options);
    Refresh();
}

void CalibrationWindow::Apply() {
    if (!result_ || result_->error != CalibrationError::None)
        return;
    session_.ApplyCalibration(*result_);
    applied_ = true;
    close();
}

void CalibrationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    KeepEverythingVisible();
}

// Never lower than what it shows at its width: wrapped texts grow as the window narrows, and
// the rows would otherwise overlap the chart (a layout's minimum size ignores wrapping).
void CalibrationWindow::KeepEverythingVisible() {
    const int needed = layout()->totalHeightForWidth(width());
    if (needed > 0 && needed != minimumHeight())
        setMinimumHeight(needed);
}

void CalibrationWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        close();
    else
        QWidget::keyPressEvent(event);
}

void CalibrationWindow::closeEvent(QCloseEvent* event) {
    // Strikes are cheap to play again; a fit looked at is worth a question.
    if (result_ && result_->error == CalibrationError::None && !applied_ &&
        !boxes_.AskYesNo(kTitle, QStringLiteral("Close without applying the fit?"))) {
        event->ignore();
        return;
    }
    event->accept();
}

QString CalibrationWindow::KeyText(int note) const {
    QStringList passes;
    for (const Pass p : {Pass::Soft, Pass::Firm}) {
        const auto strikes = run_.Strikes(note, p);
        QString text = QStringLiteral("%1 %2 strike(s)")
                           .arg(p == Pass::Soft ? QStringLiteral("soft") : QStringLiteral("firm"))
                           .arg(strikes.size());
        if (const auto s = SummariseStrikes(strikes)) {
            text += QStringLiteral(", level %1").arg(Steps(s->level));
            QStringList wild;
            for (const std::uint8_t v : strikes)
                if (v < s->keepLow || v > s->keepHigh)
                    wild << QString::number(v);
            if (!wild.isEmpty())
                text +=
                    QStringLiteral(" (set aside as wild: %1)").arg(wild.join(QStringLiteral(", ")));
        }
        passes << text;
    }
    QString text =
        QStringLiteral("%1: %2").arg(note_num2name(note), passes.join(QStringLiteral("; ")));
    if (run_.IsLeftOut(note))
        text += QStringLiteral("; left out");
    if (result_ && result_->error == CalibrationError::None) {
        const KeyCalibration& c = result_->Key(note);
        if (c.status == KeyStatus::Fitted)
            text +=
                QStringLiteral("; proposed exp %1, max %2").arg(FormatExponent(c.exp)).arg(c.vmax);
        else if (c.status == KeyStatus::SetAside)
            text += QStringLiteral("; set aside: %1").arg(QString::fromStdString(SetAsideText(c)));
    }
    return text;
}

QString CalibrationWindow::Figures(const CalibrationResult& r) const {
    if (r.error == CalibrationError::NoKeys)
        return QStringLiteral("No key has enough strikes on both passes, or none answers touch.");
    if (r.error == CalibrationError::ReferenceNotPlayed)
        return QStringLiteral("%1 has not been played on both passes.")
            .arg(reference_->currentText());
    if (r.error == CalibrationError::ReferenceSetAside)
        return QStringLiteral("%1 is set aside: %2.")
            .arg(reference_->currentText(),
                 QString::fromStdString(SetAsideText(r.Key(reference_->currentData().toInt()))));
    const auto row = [](const QString& what, const QString& before, const QString& after) {
        return QStringLiteral("<tr><td>%1</td><td align=right>%2</td><td align=right>%3</td></tr>")
            .arg(what, before, after);
    };
    QString text =
        QStringLiteral("<table cellspacing=0 cellpadding=1><tr><td>Over %1 keys</td>"
                       "<td align=right>&nbsp;before</td><td align=right>&nbsp;after</td></tr>")
            .arg(r.counted) +
        row(QStringLiteral("Level, soft"), Steps(r.levelBefore[0]), Steps(r.levelAfter[0])) +
        row(QStringLiteral("Level, firm"), Steps(r.levelBefore[1]), Steps(r.levelAfter[1])) +
        row(QStringLiteral("Loudest it sends"), Steps(r.topBefore), Steps(r.topAfter)) +
        row(QStringLiteral("Spread across the keys (95 %)"), Steps(r.spreadBefore),
            Steps(r.spreadAfter) + QStringLiteral(" predicted")) +
        QStringLiteral("</table>");
    const std::vector<int> shortKeys = r.ShortKeys();
    if (!shortKeys.empty()) {
        QStringList keys;
        for (const int k : shortKeys)
            keys << QStringLiteral("%1 %2").arg(note_num2name(k), Steps(r.Key(k).Miss()));
        text += QStringLiteral("%1 short of the target, by steps: %2")
                    .arg(shortKeys.size() == 1 ? QStringLiteral("1 key")
                                               : QStringLiteral("%1 keys").arg(shortKeys.size()),
                         keys.join(QStringLiteral(", ")));
    }
    if (const auto clipped = r.ClippedKeys().size(); clipped > 0)
        text += QStringLiteral("<br>%1 reached 127: play that pass a little softer for a truer "
                               "fit.")
                    .arg(clipped == 1 ? QStringLiteral("One key")
                                      : QStringLiteral("%1 keys").arg(clipped));
    return text;
}

void CalibrationWindow::Refresh() {
    int ready = 0;
    int played = 0;
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        ready += run_.TakesPart(k);
        played += run_.StrikeCount(k, Pass::Soft) + run_.StrikeCount(k, Pass::Firm) > 0;
    }
    const bool fitted = result_.has_value();
    progress_->setText(
        fitted ? QStringLiteral("A fit is shown: strikes played now are not counted (Play more).")
               : QStringLiteral("%1 pass: %2 keys played, %3 ready on both passes")
                     .arg(pass_ == Pass::Soft ? QStringLiteral("Soft") : QStringLiteral("Firm"))
                     .arg(played)
                     .arg(ready));
    soft_->setChecked(pass_ == Pass::Soft);
    firm_->setChecked(pass_ == Pass::Firm);
    const bool key = IsKey(selected_);
    clear_->setEnabled(key);
    leaveOut_->setEnabled(key);
    leaveOut_->setChecked(key && run_.IsLeftOut(selected_));
    share_->setEnabled(byKeyboard_->isChecked());
    reference_->setEnabled(byKey_->isChecked());
    fit_->setEnabled(ready > 0);
    playMore_->setEnabled(fitted);
    readout_->setText(
        (key ? KeyText(selected_) : QStringLiteral("Play a key, or choose one.")) +
        (lastPlayed_.isEmpty() ? QString() : QStringLiteral(" (") + lastPlayed_ + ')'));
    figures_->setText(fitted ? Figures(*result_) : QString());

    // Set-aside keys, each with its reason and a link that counts it all the same (or no
    // longer), where a curve can be fitted to it.
    QStringList aside;
    if (fitted)
        for (int k = kLowestKey; k <= kHighestKey; ++k) {
            const KeyCalibration& c = result_->Key(k);
            if (c.reason != SetAsideReason::FarBelow && c.status != KeyStatus::SetAside)
                continue;
            QString line = QStringLiteral("%1 %2").arg(note_num2name(k),
                                                       QString::fromStdString(SetAsideText(c)));
            if (c.reason == SetAsideReason::FarBelow)
                line += QStringLiteral(" <a href=\"%1\">%2</a>")
                            .arg(k)
                            .arg(c.takenBack ? QStringLiteral("set it aside")
                                             : QStringLiteral("count it all the same"));
            aside << line;
        }
    setAside_->setText(aside.isEmpty() ? QString()
                                       : QStringLiteral("Set aside, keeping their curves: ") +
                                             aside.join(QStringLiteral("; ")));
    apply_->setEnabled(fitted && result_->error == CalibrationError::None);
    chart_->Show(&run_, pass_, selected_, fitted ? &*result_ : nullptr);
    KeepEverythingVisible();
}

// ---- The chart ----

KeyChart::KeyChart(QWidget* parent) : QWidget(parent) {
    setMinimumSize(kKeyCount * 5, 180);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setFocusPolicy(Qt::StrongFocus);
}

void KeyChart::Show(const CalibrationRun* run, Pass pass, int selected,
                    const CalibrationResult* result) {
    run_ = run;
    pass_ = pass;
    selected_ = selected;
    result_ = result;
    update();
}

int KeyChart::LegendHeight() const {
    return 2 * fontMetrics().lineSpacing() + 2;
}

QRect KeyChart::Bars() const {
    return rect().adjusted(0, LegendHeight(), 0, -kAxisHeight);
}

QRect KeyChart::KeyRect(int note) const {
    const QRect bars = Bars();
    const double w = static_cast<double>(width()) / kKeyCount;
    const int left = static_cast<int>(std::lround((note - kLowestKey) * w));
    const int right = static_cast<int>(std::lround((note - kLowestKey + 1) * w));
    return {left, bars.top(), std::max(1, right - left), bars.height()};
}

int KeyChart::KeyAt(QPoint p) const {
    if (width() <= 0 || p.x() < 0 || p.x() >= width())
        return -1;
    return kLowestKey + p.x() * kKeyCount / width();
}

void KeyChart::mousePressEvent(QMouseEvent* event) {
    setFocus();
    if (const int note = KeyAt(event->position().toPoint()); IsKey(note))
        Q_EMIT KeyPicked(note);
}

void KeyChart::keyPressEvent(QKeyEvent* event) {
    const int from = IsKey(selected_) ? selected_ : 60 - 1;
    switch (event->key()) {
    case Qt::Key_Left:
        Q_EMIT KeyPicked(std::max(kLowestKey, from - 1));
        break;
    case Qt::Key_Right:
        Q_EMIT KeyPicked(std::min(kHighestKey, from + 1));
        break;
    case Qt::Key_Home:
        Q_EMIT KeyPicked(kLowestKey);
        break;
    case Qt::Key_End:
        Q_EMIT KeyPicked(kHighestKey);
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void KeyChart::PaintDeviations(QPainter& p, int note, const QRect& r) const {
    const KeyCalibration& c = result_->Key(note);
    for (int pass = 0; pass < kPassCount; ++pass) {
        const int half = r.height() / 2;
        const int mid = r.top() + half / 2 + pass * half;
        const int reach = half / 2 - 2;
        const auto bar = [&](double dev, const QColor& color) {
            const double f = std::clamp(dev / kScaleSteps, -1.0, 1.0);
            const int len = static_cast<int>(std::lround(f * reach));
            p.fillRect(QRect(QPoint(r.left(), std::min(mid, mid - len)),
                             QPoint(r.right(), std::max(mid, mid - len))),
                       color);
            if (std::abs(dev) > kScaleSteps) {
                // Past the scale: an arrowhead at the cut end.
                const int tip = mid - (dev > 0 ? reach + 2 : -reach - 2);
                const int base = mid - (dev > 0 ? reach - 2 : -reach + 2);
                p.setBrush(palette().color(QPalette::Text));
                p.setPen(Qt::NoPen);
                p.drawPolygon(QPolygon({QPoint(r.left(), base), QPoint(r.right(), base),
                                        QPoint(r.center().x(), tip)}));
            }
        };
        const auto s = static_cast<std::size_t>(pass);
        if (c.status == KeyStatus::Fitted) {
            bar(c.before[s], QColor(160, 190, 230));
            bar(c.after[s], c.Short() ? QColor(200, 30, 30) : QColor(20, 90, 180));
        } else if (c.status == KeyStatus::SetAside) {
            p.fillRect(QRect(r.left(), mid - 2, r.width(), 5), kSetAsideColour);
        }
        p.setPen(palette().color(QPalette::Mid));
        p.drawLine(r.left(), mid, r.right(), mid);
    }
}

void KeyChart::PaintLevels(QPainter& p, int note, const QRect& r) const {
    const auto strikes = run_->Strikes(note, pass_);
    const auto summary = SummariseStrikes(strikes);
    const auto y = [&](double v) {
        return r.bottom() - static_cast<int>(std::lround(v / 127.0 * (r.height() - 12)));
    };
    if (summary) {
        const QColor fill = run_->IsLeftOut(note) ? QColor(190, 190, 190) : QColor(60, 130, 60);
        p.fillRect(QRect(QPoint(r.left(), y(summary->level)), r.bottomRight()), fill);
        // The strikes the level leaves out as wild.
        p.setPen(QPen(QColor(200, 30, 30), 2));
        for (const std::uint8_t v : strikes)
            if (v < summary->keepLow || v > summary->keepHigh)
                p.drawLine(r.left(), y(v), r.right(), y(v));
    }
    const int count = run_->StrikeCount(note, pass_);
    if (!run_->IsLeftOut(note) && count < kMinStrikesPerPass) {
        p.setPen(QPen(QColor(210, 40, 40), 1));
        p.drawRect(r.adjusted(0, 0, -1, -1));
    }
    p.setPen(palette().color(QPalette::Text));
    if (count > 0 && r.width() >= 6)
        p.drawText(QRect(r.left(), r.top(), r.width(), 11), Qt::AlignCenter,
                   QString::number(std::min(count, 9)));
}

void KeyChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    if (!run_)
        return;
    const bool deviations = result_ && result_->error == CalibrationError::None;
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        const QRect r = KeyRect(k).adjusted(1, 0, -1, 0);
        if (deviations)
            PaintDeviations(p, k, r);
        else
            PaintLevels(p, k, r);
        if (k == selected_) {
            p.setPen(QPen(palette().color(QPalette::Highlight), 2));
            p.setBrush(Qt::NoBrush);
            p.drawRect(r.adjusted(0, 1, -1, -1));
        }
    }
    // The axis: every C by name, under its column.
    p.setPen(palette().color(QPalette::Text));
    const int axis = height() - kAxisHeight;
    for (int k = 24; k <= kHighestKey; k += 12) {
        const QRect r = KeyRect(k);
        p.drawLine(r.left(), axis, r.left(), axis + 3);
        p.drawText(QRect(r.left() - 20, axis + 2, 40, kAxisHeight - 2), Qt::AlignCenter,
                   note_num2name(k));
    }
    // The legend, in a strip of its own above the columns.
    const QString legend =
        deviations
            ? QStringLiteral("Soft pass above, firm below. Light: before, from the keyboard's "
                             "level; dark: after, from the target (red: short); amber: set "
                             "aside. Scale ±%1 steps; an arrow: beyond.")
                  .arg(kScaleSteps)
            : QStringLiteral("%1 pass: each key's level and strikes; red outline: more "
                             "strikes wanted; red ticks: strikes set aside as wild")
                  .arg(pass_ == Pass::Soft ? QStringLiteral("Soft") : QStringLiteral("Firm"));
    p.drawText(QRect(4, 0, width() - 8, LegendHeight()), Qt::AlignLeft | Qt::TextWordWrap, legend);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

} // namespace velomire
