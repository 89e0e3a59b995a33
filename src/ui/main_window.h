#pragma once

#include "core/keyboard/keyboard_geometry.h"
#include "core/settings/settings_codec.h"
#include "core/settings/settings_store.h"
#include "session/session.h"
#include "ui/widgets/message_box.h"

#include <QImage>
#include <QPointer>
#include <QRegion>
#include <QStringList>
#include <QWidget>

#include <memory>

namespace Ui {
class Form_midi;
}
class QComboBox;
class QScrollBar;

namespace velomire {

// The main window: shows the session and turns the user's actions into its intents.
// Handlers are named after their control and event; the views redraw from the session's
// change signal, once per change.
class Form_midi final : public QWidget {
    Q_OBJECT
public:
    Form_midi(MidiSystem& midi, MessageBoxes& boxes, QWidget* parent = nullptr);
    ~Form_midi() override;

    // Startup sequence; call once before showing the window.
    void Form_Load();
    // Shutdown: ends what sounds, closes the output, then the input. Runs once.
    void Form_Unload();

    Ui::Form_midi& ui() { return *m_ui; }
    Session& session() { return m_session; }
    const NoteTable& notes() const { return m_session.notes(); }
    KeyTable& keys() { return m_keys; }
    const QImage& marks() const { return m_marks; }
    std::uint8_t activenote() const { return static_cast<std::uint8_t>(m_session.activenote()); }

    // Redraws everything that shows the active key, the marks and the switches.
    void RefreshNoteDisplay();

    // Loads cfg/<name>.vmc and its devices; says what went wrong, if anything.
    void LoadSettingsFile(const QString& name);

    // Selects an entry as the program and runs that list's Click handler, also when the
    // entry is already selected.
    void SelectByProgram(QComboBox* combo, int index);

    // Handlers.
    void ComboMidiOut_Click();
    void ComboMidiIn_Click();
    void cmb_transpose_Click();
    void chk_remap_Click();
    void cmd_silence_Click();
    void Picture1_MouseDown(float x, float y);
    void Picture1_MouseMove(float x, float y);
    void Picture1_MouseUp(float x, float y);
    void sc_vcut_Change();
    void sc_vmax_Change();
    void VelToAll_Click();
    void Spread_Exp_Click();
    void Reset_SelVel_Click();
    void Reset_Allvel_Click();
    void Clear_Select_Click();
    void piano_Click();
    void piano_DblClick();
    void piano_KeyDown(int keyCode);
    void piano_MouseMove(double x, double y);
    void cmb_settings_Click();
    void cmd_save_Click();
    void cmd_calibrate_Click();

    // The maximum velocity a position of sc_vmax stands for: its top is 127, so that the
    // thumb, the arrows and the trough all move toward where the user points.
    static int VmaxAt(int barValue) { return kMaxVelocity - barValue; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnSessionChanged(Session::Changes what);
    void DrawCurve();
    void DrawMarks();
    void ShowActiveEntry();
    void UpdateCurveTooltip();
    void ShowPlayedOnCurve();
    void UpdateTitle();
    void FillDeviceLists();
    // The device lists and the missing marks as the session has them.
    void ShowDevices();
    void FillSettingsList();
    void ConnectHandlers();
    void AddShortcuts();
    // Saves under `name`; asks before replacing a setting unless `replace`. True when written.
    bool SaveAs(const QString& name, bool replace);
    // With unsaved changes, asks Save / Discard / Cancel; a setting that has no name yet is
    // saved as `newName`. True when the caller may go on.
    bool MayDiscard(const QString& newName);
    // Startup's messages wait until the window is on screen, so they stand over it.
    void Inform(const QString& text);
    void ShowWaitingMessages();

    std::unique_ptr<Ui::Form_midi> m_ui;
    MessageBoxes& m_boxes;
    Session m_session;
    KeyTable m_keys{};
    bool dragging = false;
    int m_dragGesture = 0;
    int m_barGesture = 0;       // a press on a scroll bar, arrows and trough included
    int m_hover = -1;           // key under the pointer: 21..108, 0 off the keys, -1 not yet
    float m_curveHover = -1.0f; // pointer over the curve view, as a fraction of its width
    int m_lastPlayed = -1;      // raw velocity last played on the active key, -1 none
    bool m_showing = false;     // the controls are being brought in line with the session
    bool m_unloaded = false;
    bool m_loading = false; // startup's messages wait for the window to be drawn
    bool m_painted = false;
    QStringList m_waitingMessages;
    QPointer<class CalibrationWindow> m_calibration;
    QImage m_marks;       // the window's own drawing surface (key marks)
    QRegion m_markRegion; // where marks are drawn on it now
};

} // namespace velomire
