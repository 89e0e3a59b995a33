#pragma once

#include "session/session.h"
#include "ui/widgets/message_box.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <memory>

namespace Ui {
class MainWindow;
}
class QComboBox;

namespace velomire {

class CalibrationWindow;
class ListenWindow;
class DeviceControls;
class SettingsControls;

// The main window: shows the session and turns the user's actions into its intents. Its
// views speak notes and curves; the controls redraw from the session's change signal, once
// per change.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    MainWindow(MidiSystem& midi, MessageBoxes& boxes, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up: the lists, the first devices, the Default setting. Once, before showing.
    void Start();
    // Ends what sounds, closes the output, then the input. Runs once.
    void Stop();

    Ui::MainWindow& ui() { return *ui_; }
    Session& session() { return session_; }
    const NoteTable& notes() const { return session_.notes(); }
    std::uint8_t activenote() const { return static_cast<std::uint8_t>(session_.activenote()); }

    // Redraws everything that shows the session.
    void Refresh() { OnSessionChanged(Session::Changes(~0u)); }
    // Loads cfg/<name>.vmc and its devices; says what went wrong, if anything.
    void LoadSettingsFile(const QString& name);
    // Selects an entry as the program and acts on it as on a pick, also when the entry is
    // already selected.
    void SelectByProgram(QComboBox* list, int index);

    // The maximum velocity a position of the maximum bar stands for: its top is 127, so that
    // the thumb, the arrows and the trough all move toward where the user points.
    static int VmaxAt(int barValue) { return kMaxVelocity - barValue; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ConnectControls();
    void OnSessionChanged(Session::Changes what);
    void ShowActiveEntry();
    void OnNotesOff();
    void OnCalibrate();
    void OnListen();
    // One undo step for a burst of presses or wheel notches on one control: the same gesture
    // while they come less than kBurstPause apart.
    int Burst(const QObject* control);
    // Start-up's messages wait until the window is drawn, so that they stand over it.
    void Inform(const QString& text);

    std::unique_ptr<Ui::MainWindow> ui_;
    MessageBoxes& boxes_;
    Session session_;
    SettingsControls* settings_ = nullptr;
    DeviceControls* devices_ = nullptr;
    int dragGesture_ = 0;
    int barGesture_ = 0; // a press on a scroll bar, arrows and trough included
    const QObject* burstControl_ = nullptr;
    int burstGesture_ = 0;
    std::chrono::steady_clock::time_point burstLast_{};
    int lastPlayed_ = -1;  // raw velocity last played on the active key, -1 none
    bool showing_ = false; // the controls are being brought in line with the session
    bool stopped_ = false;
    bool starting_ = false;
    bool painted_ = false;
    QStringList waitingMessages_;
    QPointer<CalibrationWindow> calibration_;
    QPointer<ListenWindow> listen_;
};

} // namespace velomire
