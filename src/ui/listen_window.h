#pragma once

#include "session/session.h"
#include "ui/widgets/message_box.h"

#include <QPointer>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace velomire {

class Listening;
class LoudnessChart;
class VoicingWindow;

// Listening to the synth: Velomire plays every key of a range at a few velocities and
// measures what the synth gives back. The window registers the audio input while it is open
// and lets the pianist pick what it listens to; it warns before playing, shows the level
// check's verdict, the progress with the time left, and a chart of the loudness per key and
// velocity that names the keys that did not sound. The session keeps the last table; it
// can be saved as text. A thin front end on Session::listening().
class ListenWindow final : public QWidget {
    Q_OBJECT
public:
    ListenWindow(Session& session, MessageBoxes& boxes, QWidget* parent = nullptr);
    ~ListenWindow() override;

    // Writes the table to `path`, saying so (or why not) in a message box.
    void SaveTableTo(const QString& path);
    // Velocities as typed ("32 64 96 127"); empty when any is not a number 1..127 or there
    // are more than LoudnessTable::kMaxVelocities.
    static std::vector<int> ParseVelocities(const QString& text);

    // The controls, for tests that use them.
    QComboBox* sourceList() const { return sources_; }
    QComboBox* fromList() const { return from_; }
    QComboBox* toList() const { return to_; }
    QLineEdit* velocitiesEdit() const { return velocities_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* voiceButton() const { return voice_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* status() const { return status_; }
    QLabel* result() const { return result_; }
    QLabel* silentKeys() const { return silent_; }
    LoudnessChart* chart() const { return chart_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FillSources();
    void OnSourcePicked(int index);
    void OnStart();
    void OnSave();
    void OnVoice();
    // The table measured through a voicing's corrections: what it reached, not the synth.
    bool TableIsVoiced() const;
    void OnProgress();
    void OnFinished(bool complete, const QString& message);
    void ShowLevel();
    void ShowTable(int sounding);
    void EnableControls();
    int LowKey() const;
    int HighKey() const;

    Session& session_;
    MessageBoxes& boxes_;
    Listening& listening_;
    bool inputOpen_ = false;

    QLabel* status_ = nullptr;
    QComboBox* sources_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QLabel* level_ = nullptr;
    QComboBox* from_ = nullptr;
    QComboBox* to_ = nullptr;
    QLineEdit* velocities_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* voice_ = nullptr;
    QPointer<VoicingWindow> voicing_;
    QProgressBar* progress_ = nullptr;
    QLabel* result_ = nullptr;
    QLabel* silent_ = nullptr;
    LoudnessChart* chart_ = nullptr;
    QTimer* levelTimer_ = nullptr;
};

} // namespace velomire
