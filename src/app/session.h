#pragma once

#include "midi/engine.h"
#include "settings/settings_codec.h"
#include "velocity/curve_math.h"

#include <QObject>
#include <QString>
#include <QUndoStack>

namespace velomire {

// What a user shapes and what undo brings back: the tables the path plays with, the active
// key, and the two switches that rebuilt them. The shown transposition is kept apart from
// the output notes because a loaded setting brings its own output notes.
struct SessionState {
    NoteTable notes{};
    ChannelTable channels{};
    std::uint8_t activenote = 0;
    int transposition = 0;
    bool remap = false;

    friend bool operator==(const SessionState&, const SessionState&) = default;
};

// One session of shaping: every edit of what plays goes through an intent method here, and
// each is one step on the undo stack. Views redraw from Changed, once per change.
class Session final : public QObject {
    Q_OBJECT
public:
    enum Change : unsigned {
        Curves = 1u << 0,        // some key's curve (the active one, or several)
        Selection = 1u << 1,     // selection marks
        ActiveKey = 1u << 2,     // which key is active
        Transposition = 1u << 3, // the shown offset (and the output notes)
        Remap = 1u << 4,         // the channel switch
        Document = 1u << 5,      // the setting's name or whether it differs from its file
    };
    Q_DECLARE_FLAGS(Changes, Change)

    explicit Session(Engine& engine, QObject* parent = nullptr);

    const NoteTable& notes() const { return engine_.notes; }
    const NoteSetting& active() const { return engine_.notes[engine_.activenote]; }
    int activenote() const { return engine_.activenote; }
    int transposition() const { return transposition_; }
    bool remap() const { return remap_; }
    QUndoStack& undoStack() { return undo_; }

    // A gesture groups the edits of one drag or one scroll-bar press into one undo step:
    // take a new id when the gesture starts and pass it with every edit of it.
    int NewGesture() { return ++gestures_; }

    // Bends the active curve through an inside pointer; may lower (never raise) the cut-off.
    void BendActiveCurve(const PointerOnCurve& p, int gesture);
    void SetCutOff(int vcut, int gesture = 0);
    void SetMaximum(int vmax, int gesture = 0);
    void CopyToAll();
    void Spread();
    void ResetActive();
    void ResetAll();
    void ClearSelection();
    void ToggleSelected(int note);
    // Keys off the keyboard are refused: nothing changes.
    void SetActiveKey(int note);
    void Transpose(int offset);
    void SetRemap(bool remap);

    // A loaded setting, as one step. The switch follows the stored channel 16 and rebuilds
    // the channel table only when it flips, as a click on it would.
    void ApplySetting(const SettingsData& data, const QString& name);
    SettingsData CaptureSetting(const DeviceNameField& indevice,
                                const DeviceNameField& outdevice) const;
    // The current tables are what the file `name` now holds.
    void MarkSaved(const QString& name);
    // A fresh session: what plays from now on, not undoable and not a change to save.
    void Start(const SessionState& state);

    // The setting the tables came from or were last saved as; empty before either.
    const QString& SettingName() const { return name_; }
    // True when what a file stores (curves, output notes, selection, channels) differs from
    // that setting; moving the active key alone is not a change worth saving.
    bool Modified() const;

    SessionState State() const;

Q_SIGNALS:
    void Changed(velomire::Session::Changes what);

private:
    friend class SessionStep;
    void Push(const QString& text, SessionState next, int gesture = 0);
    void Restore(const SessionState& s);
    void SetBaseline(const QString& name);

    Engine& engine_;
    QUndoStack undo_;
    int transposition_ = 0;
    bool remap_ = false;
    int gestures_ = 0;
    QString name_;
    SettingsData baseline_{};
    bool hasBaseline_ = false;
    bool wasModified_ = false;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Session::Changes)

// Output notes for a transposition offset (entries 0..127, clamped to 0..127); 128 stays.
void TransposeOutnotes(NoteTable& notes, int offset);
// All channels to channel 1, or each to itself; entry 16 stays.
void RemapChannels(ChannelTable& channels, bool remap);

} // namespace velomire
