#include "ui/calibration_window.h"

#include "core/keyboard/note_names.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace velomire {

namespace {
constexpr int kChartHeight = 180;
// Deviations beyond this many steps are drawn at the edge of their half.
constexpr double kDeviationScale = 32.0;

QString Steps(double v) {
    return QString::number(v, 'f', 1);
}
} // namespace

CalibrationWindow::CalibrationWindow(Session& session, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(session) {
    setWindowTitle(QStringLiteral("Calibrate the keyboard - Velomire"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    auto* help = new QLabel(
        QStringLiteral("Play every key you want evened out at least %1 times softly, then "
                       "switch to the firm pass and play them at least %1 times firmly. Keys "
                       "outlined in red still need strikes. Click a key in the chart to clear "
                       "it or leave it out; keys left out keep their curves. Then press Fit, "
                       "look at the result, and Apply it (Ctrl+Z undoes it).")
            .arg(kMinStrikesPerPass),
        this);
    help->setWordWrap(true);
    layout->addWidget(help);

    auto* passes = new QHBoxLayout;
    soft_ = new QPushButton(QStringLiteral("Soft pass"), this);
    firm_ = new QPushButton(QStringLiteral("Firm pass"), this);
    for (QPushButton* b : {soft_, firm_}) {
        b->setCheckable(true);
        b->setAutoExclusive(true);
        passes->addWidget(b);
    }
    soft_->setChecked(true);
    progress_ = new QLabel(this);
    passes->addWidget(progress_, 1);
    layout->addLayout(passes);

    chart_ = new KeyChart(this);
    layout->addWidget(chart_);

    auto* keyRow = new QHBoxLayout;
    readout_ = new QLabel(QStringLiteral("Play a key."), this);
    clear_ = new QPushButton(QStringLiteral("Clear key"), this);
    leaveOut_ = new QPushButton(QStringLiteral("Leave key out"), this);
    leaveOut_->setCheckable(true);
    keyRow->addWidget(readout_, 1);
    keyRow->addWidget(clear_);
    keyRow->addWidget(leaveOut_);
    layout->addLayout(keyRow);

    auto* fitRow = new QHBoxLayout;
    // The share of keys that must reach the target; a negative share stands for a key you like.
    target_ = new QComboBox(this);
    target_->addItem(QStringLiteral("Even, as loud as all but the weakest keys reach"),
                     kDefaultReachShare);
    target_->addItem(QStringLiteral("Every key even (the weakest key sets the loudness)"),
                     kEveryKeyEvenShare);
    target_->addItem(QStringLiteral("Keep the keyboard's loudness (weak keys fall short)"),
                     kKeepLoudnessShare);
    target_->addItem(QStringLiteral("A key you like"), -1.0);
    reference_ = new QSpinBox(this);
    reference_->setRange(kLowestKey, kHighestKey);
    reference_->setValue(60);
    reference_->setEnabled(false);
    fit_ = new QPushButton(QStringLiteral("Fit"), this);
    fitRow->addWidget(new QLabel(QStringLiteral("Target:"), this));
    fitRow->addWidget(target_, 1);
    fitRow->addWidget(reference_);
    fitRow->addWidget(fit_);
    layout->addLayout(fitRow);

    figures_ = new QLabel(this);
    figures_->setWordWrap(true);
    layout->addWidget(figures_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    apply_ = new QPushButton(QStringLiteral("Apply"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    apply_->setEnabled(false);
    buttons->addWidget(apply_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);

    connect(&session_, &Session::KeySounding, this, &CalibrationWindow::OnPlayed);
    connect(soft_, &QPushButton::clicked, this, [this] { SetPass(Pass::Soft); });
    connect(firm_, &QPushButton::clicked, this, [this] { SetPass(Pass::Firm); });
    connect(chart_, &KeyChart::KeyPicked, this, &CalibrationWindow::OnKeyPicked);
    connect(clear_, &QPushButton::clicked, this, [this] {
        if (IsKey(selected_))
            run_.ClearKey(selected_);
        result_.reset();
        Refresh();
    });
    connect(leaveOut_, &QPushButton::clicked, this, [this](bool out) {
        if (IsKey(selected_))
            run_.SetLeftOut(selected_, out);
        result_.reset();
        Refresh();
    });
    connect(target_, &QComboBox::currentIndexChanged, this, [this] {
        reference_->setEnabled(target_->currentData().toDouble() < 0.0);
        result_.reset();
        Refresh();
    });
    connect(fit_, &QPushButton::clicked, this, &CalibrationWindow::Fit);
    connect(apply_, &QPushButton::clicked, this, &CalibrationWindow::Apply);
    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    resize(760, 420);
    Refresh();
}

void CalibrationWindow::OnPlayed(int in, int, int velocity, int mapped) {
    readout_->setText(
        QStringLiteral("%1: played %2, sent %3").arg(note_num2name(in)).arg(velocity).arg(mapped));
    if (run_.AddStrike(in, pass_, velocity)) {
        selected_ = in;
        result_.reset(); // a fit of other strikes no longer stands
        Refresh();
    }
}

void CalibrationWindow::SetPass(Pass pass) {
    pass_ = pass;
    Refresh();
}

void CalibrationWindow::OnKeyPicked(int note) {
    selected_ = note;
    Refresh();
}

void CalibrationWindow::Fit() {
    CalibrationOptions options;
    const double share = target_->currentData().toDouble();
    if (share < 0.0)
        options.target = CalibrationTarget::ReferenceKey;
    else
        options.reachShare = share;
    options.referenceKey = reference_->value();
    result_ = FitCalibration(run_, session_.notes(), options);
    Refresh();
}

void CalibrationWindow::Apply() {
    if (!result_ || result_->error != CalibrationError::None)
        return;
    session_.ApplyCalibration(*result_);
    close();
}

void CalibrationWindow::Refresh() {
    int ready = 0;
    int played = 0;
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        ready += run_.TakesPart(k);
        played += run_.StrikeCount(k, Pass::Soft) + run_.StrikeCount(k, Pass::Firm) > 0;
    }
    progress_->setText(
        QStringLiteral("%1 pass: %2 keys played, %3 ready on both passes")
            .arg(pass_ == Pass::Soft ? QStringLiteral("Soft") : QStringLiteral("Firm"))
            .arg(played)
            .arg(ready));
    soft_->setChecked(pass_ == Pass::Soft);
    firm_->setChecked(pass_ == Pass::Firm);
    const bool key = IsKey(selected_);
    clear_->setEnabled(key);
    leaveOut_->setEnabled(key);
    leaveOut_->setChecked(key && run_.IsLeftOut(selected_));
    fit_->setEnabled(ready > 0);

    QString text;
    if (result_ && result_->error == CalibrationError::NoKeys) {
        text = QStringLiteral("No key has enough strikes on both passes, or none answers touch.");
    } else if (result_ && result_->error == CalibrationError::ReferenceNotPlayed) {
        text = QStringLiteral("The reference key has not been played on both passes.");
    } else if (result_ && result_->error == CalibrationError::ReferenceSetAside) {
        text = QStringLiteral("The reference key is set aside: %1.")
                   .arg(QString::fromStdString(SetAsideText(result_->Key(reference_->value()))));
    } else if (result_) {
        const CalibrationResult& r = *result_;
        text = QStringLiteral("Target: %1 soft, %2 firm. The keyboard's level: soft %3 -> %4, "
                              "firm %5 -> %6; the loudest it sends %7 -> %8. Spread across the "
                              "keys (95th percentile): %9 steps before, %10 predicted after.")
                   .arg(Steps(r.target[0]), Steps(r.target[1]), Steps(r.levelBefore[0]),
                        Steps(r.levelAfter[0]), Steps(r.levelBefore[1]), Steps(r.levelAfter[1]),
                        Steps(r.topBefore), Steps(r.topAfter))
                   .arg(Steps(r.spreadBefore), Steps(r.spreadAfter));
        QStringList keys;
        for (const int k : r.ShortKeys())
            keys << QStringLiteral("%1 (%2)").arg(note_num2name(k), Steps(r.Key(k).Miss()));
        if (!keys.empty())
            text += QStringLiteral(" Short of the target, by steps: %1.")
                        .arg(keys.join(QStringLiteral(", ")));
        keys.clear();
        for (const int k : r.SetAsideKeys())
            keys << QStringLiteral("%1 %2").arg(note_num2name(k),
                                                QString::fromStdString(SetAsideText(r.Key(k))));
        if (!keys.empty())
            text += QStringLiteral(" Set aside, keeping their curves: %1.")
                        .arg(keys.join(QStringLiteral("; ")));
        if (const auto clipped = r.ClippedKeys().size(); clipped > 0)
            text += (clipped == 1 ? QStringLiteral(" One key")
                                  : QStringLiteral(" %1 keys").arg(clipped)) +
                    QStringLiteral(" reached 127: play that pass a little softer for a truer fit.");
    }
    figures_->setText(text);
    apply_->setEnabled(result_ && result_->error == CalibrationError::None);
    chart_->Show(&run_, pass_, selected_, result_ ? &*result_ : nullptr);
}

// ---- The chart ----

KeyChart::KeyChart(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(kChartHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void KeyChart::Show(const CalibrationRun* run, Pass pass, int selected,
                    const CalibrationResult* result) {
    run_ = run;
    pass_ = pass;
    selected_ = selected;
    result_ = result;
    update();
}

QRect KeyChart::KeyRect(int note) const {
    const double w = static_cast<double>(width()) / kKeyCount;
    const int left = static_cast<int>(std::lround((note - kLowestKey) * w));
    const int right = static_cast<int>(std::lround((note - kLowestKey + 1) * w));
    return {left, 0, std::max(1, right - left), height()};
}

int KeyChart::KeyAt(QPoint p) const {
    if (width() <= 0 || p.x() < 0 || p.x() >= width())
        return -1;
    return kLowestKey + p.x() * kKeyCount / width();
}

void KeyChart::mousePressEvent(QMouseEvent* event) {
    const int note = KeyAt(event->position().toPoint());
    if (IsKey(note))
        Q_EMIT KeyPicked(note);
}

void KeyChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    if (!run_)
        return;
    const int h = height();
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        const QRect r = KeyRect(k).adjusted(1, 0, -1, 0);
        if (result_ && result_->error == CalibrationError::None) {
            // Deviation from the target: soft pass above the middle, firm below.
            const KeyCalibration& c = result_->Key(k);
            for (int pass = 0; pass < kPassCount; ++pass) {
                const int mid = h / 4 + pass * h / 2;
                const auto bar = [&](double dev, const QColor& color) {
                    const double f = std::clamp(dev / kDeviationScale, -1.0, 1.0);
                    const int len = static_cast<int>(std::lround(f * (h / 4 - 2)));
                    p.fillRect(QRect(QPoint(r.left(), std::min(mid, mid - len)),
                                     QPoint(r.right(), std::max(mid, mid - len))),
                               color);
                };
                if (c.status == KeyStatus::Fitted) {
                    bar(c.before[static_cast<std::size_t>(pass)], QColor(160, 190, 230));
                    bar(c.after[static_cast<std::size_t>(pass)],
                        c.Short() ? QColor(200, 30, 30) : QColor(20, 90, 180));
                }
                p.setPen(palette().color(QPalette::Mid));
                p.drawLine(r.left(), mid, r.right(), mid);
            }
        } else {
            // While playing: the median raw velocity of this pass, and the strikes still
            // wanted.
            std::optional<double> level;
            if (const auto strikes = run_->Strikes(k, pass_); !strikes.empty()) {
                std::vector<int> sorted(strikes.begin(), strikes.end());
                std::sort(sorted.begin(), sorted.end());
                const std::size_t n = sorted.size();
                level = n % 2 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
            }
            const int count = run_->StrikeCount(k, pass_);
            const QColor fill = run_->IsLeftOut(k) ? QColor(190, 190, 190) : QColor(60, 130, 60);
            if (level) {
                const int top = h - 1 - static_cast<int>(std::lround(*level / 127.0 * (h - 12)));
                p.fillRect(QRect(QPoint(r.left(), top), QPoint(r.right(), h - 1)), fill);
            }
            if (!run_->IsLeftOut(k) && count < kMinStrikesPerPass) {
                p.setPen(QPen(QColor(210, 40, 40), 1));
                p.drawRect(r.adjusted(0, 0, -1, -1));
            }
            p.setPen(palette().color(QPalette::Text));
            if (count > 0 && r.width() >= 6)
                p.drawText(QRect(r.left(), 0, r.width(), 11), Qt::AlignCenter,
                           QString::number(std::min(count, 9)));
        }
        if (k == selected_) {
            p.setPen(QPen(palette().color(QPalette::Highlight), 2));
            p.drawRect(r.adjusted(0, 1, -1, -1));
        }
    }
    if (result_ && result_->error == CalibrationError::None) {
        p.setPen(palette().color(QPalette::Text));
        const QString legend = QStringLiteral(" pass: before, from the keyboard's level (light); "
                                              "after, from the target (dark; red: short), ±%1 "
                                              "steps")
                                   .arg(kDeviationScale);
        p.drawText(QRect(4, 2, width() - 8, 14), Qt::AlignLeft, QStringLiteral("Soft") + legend);
        p.drawText(QRect(4, h / 2 + 2, width() - 8, 14), Qt::AlignLeft,
                   QStringLiteral("Firm") + legend);
    }
}

} // namespace velomire
