#pragma once

#include "core/velocity/calibration.h"
#include "session/session.h"

#include <QWidget>

#include <optional>

class QButtonGroup;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace velomire {

class KeyChart;

// Evening out the keyboard by playing it: the player strikes every key a few times softly,
// then firmly; the raw velocities come from the session's readouts (the MIDI side, before
// mapping), and the fit proposes each key's curve. Non-modal: MIDI keeps flowing while it
// is open, and nothing changes until Apply, which is one undoable step.
class CalibrationWindow final : public QWidget {
    Q_OBJECT
public:
    explicit CalibrationWindow(Session& session, QWidget* parent = nullptr);

    const CalibrationRun& run() const { return run_; }
    Pass pass() const { return pass_; }
    const std::optional<CalibrationResult>& result() const { return result_; }

    // The controls, for tests that click them.
    QPushButton* softButton() const { return soft_; }
    QPushButton* firmButton() const { return firm_; }
    QPushButton* fitButton() const { return fit_; }
    QPushButton* applyButton() const { return apply_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* clearButton() const { return clear_; }
    QPushButton* leaveOutButton() const { return leaveOut_; }
    QComboBox* targetBox() const { return target_; }
    KeyChart* chart() const { return chart_; }
    QLabel* readout() const { return readout_; }
    QLabel* figures() const { return figures_; }

private:
    void OnPlayed(int in, int out, int velocity, int mapped);
    void SetPass(Pass pass);
    void OnKeyPicked(int note);
    void Fit();
    void Apply();
    void Refresh();

    Session& session_;
    CalibrationRun run_;
    Pass pass_ = Pass::Soft;
    int selected_ = -1;
    std::optional<CalibrationResult> result_;

    QLabel* progress_ = nullptr;
    QPushButton* soft_ = nullptr;
    QPushButton* firm_ = nullptr;
    KeyChart* chart_ = nullptr;
    QLabel* readout_ = nullptr;
    QPushButton* clear_ = nullptr;
    QPushButton* leaveOut_ = nullptr;
    QComboBox* target_ = nullptr;
    QSpinBox* reference_ = nullptr;
    QPushButton* fit_ = nullptr;
    QLabel* figures_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// The 88 keys as columns. While playing: each key's level on the current pass and its
// strike count, keys still needing strikes outlined in red, keys left out grey. After a
// fit: each key's deviation from the keyboard's level before (light) and from the target
// after (dark), soft pass above the middle line, firm below.
class KeyChart final : public QWidget {
    Q_OBJECT
public:
    explicit KeyChart(QWidget* parent = nullptr);
    void Show(const CalibrationRun* run, Pass pass, int selected, const CalibrationResult* result);
    // The key under a point of the chart, or -1.
    int KeyAt(QPoint p) const;
    QRect KeyRect(int note) const;

Q_SIGNALS:
    void KeyPicked(int note);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    const CalibrationRun* run_ = nullptr;
    const CalibrationResult* result_ = nullptr;
    Pass pass_ = Pass::Soft;
    int selected_ = -1;
};

} // namespace velomire
