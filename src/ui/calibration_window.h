#pragma once

#include "core/velocity/calibration.h"
#include "session/session.h"
#include "ui/widgets/message_box.h"

#include <QWidget>

#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;

namespace velomire {

class KeyChart;

// Evening out the keyboard by playing it: the player strikes every key a few times softly,
// then firmly; the raw velocities come from the session's readouts (the MIDI side, before
// mapping), and the fit proposes each key's curve. Keys that do not belong (far below the
// others, without a touch response, short of strikes) are set aside and named; one control
// trades evenness for loudness, with the figures following it. Non-modal: MIDI keeps flowing
// while it is open, and nothing changes until Apply, which is one undoable step.
class CalibrationWindow final : public QWidget {
    Q_OBJECT
public:
    CalibrationWindow(Session& session, MessageBoxes& boxes, QWidget* parent = nullptr);

    const CalibrationRun& run() const { return run_; }
    Pass pass() const { return pass_; }
    const std::optional<CalibrationResult>& result() const { return result_; }
    int selected() const { return selected_; }

    // The controls, for tests that use them.
    QPushButton* softButton() const { return soft_; }
    QPushButton* firmButton() const { return firm_; }
    QPushButton* fitButton() const { return fit_; }
    QPushButton* playMoreButton() const { return playMore_; }
    QPushButton* applyButton() const { return apply_; }
    QSlider* shareSlider() const { return share_; }
    KeyChart* chart() const { return chart_; }
    QLabel* readout() const { return readout_; }
    QLabel* figures() const { return figures_; }
    QLabel* setAside() const { return setAside_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void KeepEverythingVisible();
    void OnPlayed(int in, int out, int velocity, int mapped);
    void SetPass(Pass pass);
    void Select(int note);
    void Fit();
    void Apply();
    void Refresh();
    QString KeyText(int note) const;
    QString Figures(const CalibrationResult& r) const;

    Session& session_;
    MessageBoxes& boxes_;
    CalibrationRun run_;
    Pass pass_ = Pass::Soft;
    int selected_ = -1;
    QString lastPlayed_;
    std::optional<CalibrationResult> result_;
    bool applied_ = false;

    QLabel* progress_ = nullptr;
    QPushButton* soft_ = nullptr;
    QPushButton* firm_ = nullptr;
    KeyChart* chart_ = nullptr;
    QLabel* readout_ = nullptr;
    QPushButton* clear_ = nullptr;
    QPushButton* leaveOut_ = nullptr;
    QRadioButton* byKeyboard_ = nullptr;
    QSlider* share_ = nullptr;
    QRadioButton* byKey_ = nullptr;
    QComboBox* reference_ = nullptr;
    QPushButton* fit_ = nullptr;
    QPushButton* playMore_ = nullptr;
    QLabel* figures_ = nullptr;
    QLabel* setAside_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// The 88 keys as columns, named on an axis below. While playing: each key's level on the
// current pass and its strike count, keys still needing strikes outlined in red, keys left
// out grey, strikes set aside as wild marked by ticks. After a fit: each key's deviation
// from the keyboard's level before (light) and from the target after (dark; red when short),
// soft pass above, firm below, bars past the scale marked with an arrow; keys set aside in
// amber. Arrows and Home/End move the selected key.
class KeyChart final : public QWidget {
    Q_OBJECT
public:
    explicit KeyChart(QWidget* parent = nullptr);
    void Show(const CalibrationRun* run, Pass pass, int selected, const CalibrationResult* result);
    // The key under a point of the chart, or -1.
    int KeyAt(QPoint p) const;
    QRect KeyRect(int note) const;

    // Deviations beyond this many steps are drawn at the edge of their half, with a mark.
    static constexpr double kScaleSteps = 32.0;

Q_SIGNALS:
    void KeyPicked(int note);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int LegendHeight() const;
    QRect Bars() const; // the area the columns stand in, between the legend and the axis
    void PaintDeviations(QPainter& p, int note, const QRect& column) const;
    void PaintLevels(QPainter& p, int note, const QRect& column) const;

    const CalibrationRun* run_ = nullptr;
    const CalibrationResult* result_ = nullptr;
    Pass pass_ = Pass::Soft;
    int selected_ = -1;
};

} // namespace velomire
