#pragma once

#include "app/message_box.h"
#include "keyboard/keyboard_geometry.h"
#include "midi/engine.h"
#include "settings/settings_codec.h"
#include "settings/settings_store.h"

#include <QImage>
#include <QRegion>
#include <QWidget>

#include <memory>

namespace Ui {
class Form_midi;
}
class QComboBox;

namespace velomire {

// The main window: owns the engine and the key table, shows and edits them.
// Handlers are named after their control and event; each turns one event into engine
// calls plus the redraw the behaviour asks for.
class Form_midi final : public QWidget {
    Q_OBJECT
public:
    Form_midi(MidiSystem& midi, MessageBoxes& boxes, QWidget* parent = nullptr);
    ~Form_midi() override;

    // Startup sequence; call once before showing the window.
    void Form_Load();
    // Shutdown: closes the output, then the input; sends nothing. Runs once.
    void Form_Unload();

    Ui::Form_midi& ui() { return *m_ui; }
    Engine& engine() { return m_engine; }
    NoteTable& notes() { return m_engine.notes; }
    KeyTable& keys() { return m_keys; }
    const QImage& marks() const { return m_marks; }
    std::uint8_t activenote() const { return m_engine.activenote; }

    QString note_num2name(int n) const;

    // Redraw procedures every writer of the note table calls itself.
    void DrawCurve();
    void RefreshNoteDisplay();
    void SetActiveNote();

    // Loads cfg/<name>.vmc and reselects the stored devices (missing: silently nothing).
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
    void sc_vcut_Scroll();
    void sc_vmax_Change();
    void sc_vmax_Scroll();
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

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FillDeviceLists();
    void FillSettingsList();
    NoteSetting& Active() { return m_engine.notes[m_engine.activenote]; }
    int HoverNumber() const;
    void ReselectDevice(QComboBox* combo, const DeviceNameField& stored);
    void ConnectHandlers();

    std::unique_ptr<Ui::Form_midi> m_ui;
    MessageBoxes& m_boxes;
    Engine m_engine;
    const SettingsStore m_store; // after main has chosen the working directory
    KeyTable m_keys{};
    DeviceNameField m_indevice{};
    DeviceNameField m_outdevice{};
    std::int16_t MidiInIndex = 0;
    std::int16_t MidiOutIndex = 0;
    bool dragging = false;
    bool m_unloaded = false;
    QImage m_marks;       // the window's own drawing surface (key marks)
    QRegion m_markRegion; // where marks are drawn on it now
};

} // namespace velomire
