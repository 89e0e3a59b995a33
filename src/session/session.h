#pragma once

#include "core/midi/midi_backend.h"
#include "core/midi/realtime_engine.h"
#include "core/settings/settings_codec.h"
#include "core/settings/settings_store.h"
#include "core/velocity/calibration.h"
#include "core/velocity/curve_math.h"
#include "core/velocity/voicing.h"
#include "session/setting_document.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUndoStack>

#include <chrono>
#include <memory>
#include <optional>

namespace velomire {

class Listening;

// What a user shapes and what undo brings back: the tables the path plays with, the active
// key, and the channel switch that rebuilt the channel table.
struct SessionState {
    NoteTable notes{};
    ChannelTable channels{};
    std::uint8_t activenote = 0;
    bool remap = false;

    friend bool operator==(const SessionState&, const SessionState&) = default;
};

// 'name', as every line and message quotes a setting or a device.
inline QString Quoted(const QString& name) {
    return QLatin1Char('\'') + name + QLatin1Char('\'');
}

// The transposition the output notes play: k when every note 0..127 leaves as
// clamp(n + k, 0, 127) for one k in -12..+12; nullopt when they are a setting's own.
std::optional<int> ShownTransposition(const NoteTable& notes);

// One session: everything that plays and everything a setting holds. Every edit of what
// plays goes through an intent method here, each one step on the undo stack; views redraw
// from Changed, once per change. The tables are published to the MIDI side as immutable
// snapshots; the chosen devices are kept by name and followed as they come and go.
//
// The window and the headless runner are front ends on it. UI thread only.
class Session final : public QObject {
    Q_OBJECT
public:
    enum Change : unsigned {
        Curves = 1u << 0,        // some key's curve (the active one, or several)
        Selection = 1u << 1,     // selection marks
        ActiveKey = 1u << 2,     // which key is active
        Transposition = 1u << 3, // the output notes (and so the shown transposition)
        Remap = 1u << 4,         // the channel switch
        Document = 1u << 5,      // the setting's name or whether it differs from its file
    };
    Q_DECLARE_FLAGS(Changes, Change)

    // Starts as a fresh window does: identity output notes and channels, the 88 keys'
    // startup curves, C4 active. Settings live in `store` (default: cfg in the working
    // directory as of now).
    explicit Session(MidiSystem& midi, QObject* parent = nullptr);
    Session(MidiSystem& midi, SettingsStore store, QObject* parent = nullptr);
    ~Session() override;

    // What a new session plays with.
    static SessionState FreshState();

    const NoteTable& notes() const { return state_.notes; }
    const ChannelTable& channels() const { return state_.channels; }
    const NoteSetting& active() const { return state_.notes[state_.activenote]; }
    int activenote() const { return state_.activenote; }
    std::optional<int> transposition() const { return ShownTransposition(state_.notes); }
    bool remap() const { return state_.remap; }

    // ---- History ----
    void Undo();
    void Redo();
    // What was done so far is no longer undoable (where the user starts).
    void ClearHistory();
    bool CanUndo() const { return undo_.canUndo(); }
    bool CanRedo() const { return undo_.canRedo(); }
    // Steps that Undo can take back.
    int UndoDepth() const { return undo_.index(); }

    // A gesture groups the edits of one drag or one scroll-bar press into one undo step:
    // take a new id when the gesture starts and pass it with every edit of it.
    int NewGesture() { return ++gestures_; }

    // Bends the active curve through an inside pointer; may lower (never raise) the cut-off.
    void BendActiveCurve(const PointerOnCurve& p, int gesture);
    // Bends the active curve by steps of kBendStep: up (> 0, a smaller exponent) or down. The
    // exponent stays within kMinKeyExp..kMaxKeyExp (or where a drag left it, when outside).
    void BendActiveBy(int steps, int gesture = 0);
    static constexpr double kBendStep = 1.05;
    static constexpr double kMinKeyExp = 0.01;
    static constexpr double kMaxKeyExp = 100.0;
    void SetCutOff(int vcut, int gesture = 0);
    void SetMaximum(int vmax, int gesture = 0);
    void CopyToAll();
    void Spread();
    void ResetActive();
    void ResetAll();
    void ClearSelection();
    void ToggleSelected(int note);
    // The exponents and maxima a calibration proposes, for the keys it fitted.
    void ApplyCalibration(const CalibrationResult& result);
    // Each voiced key's curve composed with its correction, as one step.
    void ApplyVoicing(const VoicingResult& result);
    // Keys off the keyboard are refused: nothing changes.
    void SetActiveKey(int note);
    void Transpose(int offset);
    void SetRemap(bool remap);

    // ---- The setting as a document ----

    // For a front end to show: ok, or the message that says what went wrong and why.
    struct Outcome {
        bool ok = true;
        QString message;
    };
    const SettingsStore& Store() const { return store_; }
    // Makes the setting `name` (its file in the store) what plays, as one undo step that
    // also brings back, when undone, the setting's name, its modified mark and the devices.
    // Its devices are wanted by name: opened when present, marked missing and opened when
    // they appear, followed as they come and go. Nothing changes on failure.
    Outcome LoadSetting(const QString& name);
    // A loaded setting's record, as one step (LoadSetting after the file is read). The
    // switch follows the stored channel 16 and rebuilds the channel table only when it
    // flips, as a click on it would. Loading what is already in force reopens its devices.
    void ApplySetting(const SettingsData& data, const QString& name);
    // Why `name` cannot be a setting's name; nullopt when it can.
    std::optional<QString> SaveRefusal(const QString& name) const;
    // A setting of that name exists (to ask before replacing it).
    bool SettingExists(const QString& name) const;
    // Saves what plays, and the devices wanted, as the setting `name`, replacing its file.
    Outcome SaveSetting(const QString& name);
    // With unsaved changes, what to ask before they are lost, and the name a "Save" answer
    // saves under: the setting's own (replacing its file), or `newName` for a setting never
    // saved. nullopt when nothing is unsaved.
    struct LeaveQuestion {
        QString text;
        QString saveAs;
        bool replace = false;
    };
    std::optional<LeaveQuestion> BeforeLeaving(const QString& newName) const;

    // What a settings file would hold now, with these device names.
    SettingsData CaptureSetting(const DeviceNameField& indevice,
                                const DeviceNameField& outdevice) const;
    // A fresh session: what plays from now on, not undoable and not a change to save.
    void Start(const SessionState& state);

    // The setting the tables came from or were last saved as; empty before either.
    const QString& SettingName() const { return doc_.name; }
    // True when what a file stores (curves, output notes, selection, channels) differs from
    // that setting; moving the active key alone is not a change worth saving.
    bool Modified() const;

    const SessionState& State() const { return state_; }

    // ---- Devices ----

    enum class Direction { Input, Output };
    enum class DeviceState {
        Off,     // none chosen ("Not Enabled")
        Pending, // chosen, not looked for yet
        Open,    // chosen and open
        Missing, // chosen, not present now; opened again when it returns
        Failed,  // chosen and present, but it did not open; tried again while present
    };
    // The MIDI system, attached to this session's engine at first use (it may still be
    // being reached while the window is built).
    MidiSystem& midi();
    // Devices present as of the last look (the output's list starts with the virtual port).
    const std::vector<std::string>& Sources() const { return sources_; }
    const std::vector<std::string>& Targets() const { return targets_; }
    std::string VirtualOutputName() { return midi_.VirtualOutputName(); }
    const std::string& Chosen(Direction d) const { return Port(d).name; }
    // False while the MIDI system is gone or its server does not answer (as of the last look).
    bool MidiAnswers() const { return midiAlive_; }
    DeviceState State(Direction d) const { return Port(d).state; }

    // Chooses a device by name (empty: none) and opens it; true when it opened (or none
    // was chosen). The input's choice is followed by Local Control Off, whatever became of
    // it; the notes still sounding end on the old output before the output changes.
    bool ChooseInput(const std::string& name);
    bool ChooseOutput(const std::string& name);
    // Chooses a device by name, to be opened by the next look at the devices (and followed
    // from then on), e.g. the devices a stage box's setting names. Names are matched with
    // spaces trimmed at both ends.
    void Want(Direction d, const std::string& name);
    // Looks at the devices every `ms`: the lists follow what is plugged in, a chosen
    // device that goes is closed and opened again when it returns, also after the MIDI
    // system itself went and came back (Local Control Off follows the output's return).
    void FollowDevices(int ms = 250);
    // One look now (FollowDevices does it on a timer).
    void LookAtDevices();

    // Panic, in order with what is played.
    void Panic();

    // Measuring runs that play the synth and listen to it (made at first use).
    Listening& listening();

    // What a stop sent of the note-offs and pedal releases that end what sounds.
    struct StopReport {
        int released = 0;     // notes that were sounding
        int left = 0;         // their note-offs that reached the MIDI system
        int pedals = 0;       // sustain and sostenuto pedals that were down
        int pedalsLifted = 0; // their releases that reached it
        bool outputOpen = false;
        bool Complete() const { return left == released && pedalsLifted == pedals; }
    };
    // Ends every sounding note, then lifts the pedals where notes or pedals went, then
    // closes the output and the input. Bounded in time whatever the MIDI system does. Runs
    // once; later calls return the first one's report.
    StopReport Shutdown();
    // "2 sounding notes released", "2 note-offs could not be sent: the MIDI server did not
    // answer", ...: what a stop really did, for its last line.
    static QString DescribeStop(const StopReport& report);

    // Any thread (a signal's): has the MIDI side end what sounds and drop what is played
    // from now on, as the first step of Shutdown, without the UI thread; waits at most
    // `limit` for it to be done and sent. True when it was.
    bool SilenceForStop(std::chrono::milliseconds limit);

    RealtimeEngine::Losses CountLosses() const { return engine_->CountLosses(); }
    // "3 SysEx messages dropped (too long or no room to wait)", ...; empty for none.
    static QString Describe(const RealtimeEngine::Losses& losses);

Q_SIGNALS:
    void Changed(velomire::Session::Changes what);
    // The lists or a device's state changed.
    void DevicesChanged();
    // One line for a log: a device opened, missing, gone or failing; the MIDI system gone
    // or back.
    void DeviceNews(const QString& line);
    void CanUndoChanged(bool can);
    void CanRedoChanged(bool can);
    // Keys as the MIDI side played them (drained from its readouts).
    void KeySounding(int in, int out, int velocity, int mapped);
    void KeyReleased(int out);
    // The first loss of MIDI data, once per session, as one line.
    void MessagesLost(const QString& line);

private:
    friend class SessionStep;
    friend class Listening; // plays its notes through the engine
    struct PortChoice {
        std::string name; // empty: none
        DeviceState state = DeviceState::Off;
    };
    const PortChoice& Port(Direction d) const { return d == Direction::Input ? in_ : out_; }
    // The part of a load that is not what plays: the document and the devices wanted.
    struct Loaded {
        SettingDocument doc;
        std::string in;
        std::string out;
        friend bool operator==(const Loaded&, const Loaded&) = default;
    };
    void Push(const QString& text, SessionState next, int gesture = 0);
    void Restore(const SessionState& s);
    void RestoreLoaded(const Loaded& loaded);
    void SetDocument(SettingDocument doc);
    static SettingsData Capture(const SessionState& s);
    void SendLocalControlOff();
    // Posts a command and waits (bounded) for the MIDI side to have run it.
    bool RunCommand(RealtimeEngine::Command command, std::span<const std::uint8_t> bytes = {});
    bool Follow(Direction d, const std::vector<std::string>& present);
    bool Choose(Direction d, const std::string& name);
    // The notes held now can never be ended by their keyboard (it went, or another was
    // chosen): their note-offs and the pedal tail, or, with no output to send them to, they
    // are forgotten and the tail follows once the output is back.
    void EndHeldNotes();
    // The output cannot be reached: forget what sounds; its return sends the tail.
    void ForgetHeldNotes();
    bool OpenPort(Direction d, const std::string& name);
    void ClosePort(Direction d);
    void DrainReadouts();
    void ReportLosses();
    // Something else ends what sounds: a measuring run under way ends with it.
    void InterruptListening(const QString& why);

    MidiSystem& midi_;
    std::unique_ptr<RealtimeEngine> engine_;
    SessionState state_{};
    QUndoStack undo_;
    int gestures_ = 0;
    const SettingsStore store_;
    SettingDocument doc_;
    bool wasModified_ = false;

    PortChoice in_;
    PortChoice out_;
    std::vector<std::string> sources_;
    std::vector<std::string> targets_;
    bool midiAlive_ = true;
    bool lookedOnce_ = false;
    QTimer follow_;
    bool attached_ = false;
    bool stopped_ = false;
    StopReport stopReport_;
    bool lossReported_ = false;
    // After the engine: it goes first, and ends its run through the engine.
    std::unique_ptr<Listening> listening_;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Session::Changes)

} // namespace velomire
