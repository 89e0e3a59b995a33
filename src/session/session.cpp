#include "session/session.h"

#include "session/listening.h"
#include "session/session_step.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cmath>

namespace velomire {

std::optional<int> ShownTransposition(const NoteTable& notes) {
    const int k = notes[60].outnote - 60;
    if (k < -kTransposeRange || k > kTransposeRange)
        return std::nullopt;
    for (int n = 0; n <= 127; ++n)
        if (notes[static_cast<std::size_t>(n)].outnote != std::clamp(n + k, 0, 127))
            return std::nullopt;
    return k;
}

namespace {
constexpr int kFreshActiveNote = 60;
} // namespace

SessionState Session::FreshState() {
    SessionState s;
    TransposeOutnotes(s.notes, 0);
    RemapChannels(s.channels, false);
    // Entry 0 is the active entry before a key is chosen: a straight curve.
    s.notes[0].exp = 1.0;
    for (int n = kLowestKey; n <= kHighestKey; ++n)
        SetKeyStartupValues(s.notes[static_cast<std::size_t>(n)], n);
    s.activenote = kFreshActiveNote;
    return s;
}

Session::Session(MidiSystem& midi, QObject* parent)
    : Session(midi, SettingsStore::InWorkingDirectory(), parent) {}

Session::Session(MidiSystem& midi, SettingsStore store, QObject* parent)
    : QObject(parent), midi_(midi), engine_(std::make_unique<RealtimeEngine>()),
      state_(FreshState()), store_(std::move(store)), doc_{QString(), Capture(state_)} {
    engine_->Publish({state_.notes, state_.channels});
    store_.RemoveStaleTemporaryFiles(); // a save cut short by a crash left it
    connect(&undo_, &QUndoStack::canUndoChanged, this, &Session::CanUndoChanged);
    connect(&undo_, &QUndoStack::canRedoChanged, this, &Session::CanRedoChanged);
    if (engine_->WakeFd() >= 0) {
        auto* wake = new QSocketNotifier(engine_->WakeFd(), QSocketNotifier::Read, this);
        connect(wake, &QSocketNotifier::activated, this, &Session::DrainReadouts);
    }
    connect(&follow_, &QTimer::timeout, this, &Session::LookAtDevices);
}

Session::~Session() {
    Shutdown();
    listening_.reset(); // its port and tap before the MIDI system is let go
    if (attached_) {
        midi_.WatchDevices({});
        midi_.Attach(nullptr);
    }
}

Listening& Session::listening() {
    if (!listening_)
        listening_ = std::make_unique<Listening>(*this);
    return *listening_;
}

void Session::InterruptListening(const QString& why) {
    if (listening_)
        listening_->Interrupt(why);
}

MidiSystem& Session::midi() {
    if (!attached_) {
        attached_ = true;
        midi_.Attach(engine_.get());
    }
    return midi_;
}

void Session::Push(const QString& text, SessionState next, int gesture) {
    SessionState now = State();
    if (next == now)
        return;
    undo_.push(new SessionStep(*this, text, std::move(now), std::move(next), gesture));
}

void Session::Restore(const SessionState& s) {
    Changes what;
    for (int k = 0; k < kNoteTableSize; ++k) {
        const NoteSetting& a = state_.notes[static_cast<std::size_t>(k)];
        const NoteSetting& b = s.notes[static_cast<std::size_t>(k)];
        if (a.exp != b.exp || a.vcut != b.vcut || a.vmax != b.vmax)
            what |= Curves;
        if (a.selected != b.selected)
            what |= Selection;
        if (a.outnote != b.outnote)
            what |= Transposition;
    }
    if (s.activenote != state_.activenote)
        what |= ActiveKey;
    if (s.remap != state_.remap || s.channels != state_.channels)
        what |= Remap;
    const bool played = s.notes != state_.notes || s.channels != state_.channels;
    state_ = s;
    if (played)
        engine_->Publish({state_.notes, state_.channels});
    if (Modified() != wasModified_) {
        wasModified_ = !wasModified_;
        what |= Document;
    }
    if (what)
        Q_EMIT Changed(what);
}

void Session::BendActiveCurve(const PointerOnCurve& p, int gesture) {
    if (!p.inside)
        return;
    SessionState next = State();
    EditAtPointer(next.notes[next.activenote], p);
    Push(QStringLiteral("Bend curve"), std::move(next), gesture);
}

void Session::BendActiveBy(int steps, int gesture) {
    SessionState next = State();
    double& exp = next.notes[next.activenote].exp;
    exp = std::clamp(exp * std::pow(kBendStep, -steps), std::min(exp, kMinKeyExp),
                     std::max(exp, kMaxKeyExp));
    Push(QStringLiteral("Bend curve"), std::move(next), gesture);
}

void Session::SetCutOff(int vcut, int gesture) {
    SessionState next = State();
    next.notes[next.activenote].vcut = static_cast<std::uint8_t>(std::clamp(vcut, 0, 127));
    Push(QStringLiteral("Cut off"), std::move(next), gesture);
}

void Session::SetMaximum(int vmax, int gesture) {
    SessionState next = State();
    next.notes[next.activenote].vmax = static_cast<std::uint8_t>(std::clamp(vmax, 0, 127));
    Push(QStringLiteral("Max velocity"), std::move(next), gesture);
}

void Session::CopyToAll() {
    SessionState next = State();
    velomire::CopyToAll(next.notes, next.activenote);
    Push(QStringLiteral("Copy to all"), std::move(next));
}

void Session::Spread() {
    SessionState next = State();
    SpreadVelocity(next.notes);
    Push(QStringLiteral("Spread velocity"), std::move(next));
}

void Session::ResetActive() {
    SessionState next = State();
    velomire::ResetActive(next.notes, next.activenote);
    Push(QStringLiteral("Reset active"), std::move(next));
}

void Session::ResetAll() {
    SessionState next = State();
    velomire::ResetAll(next.notes);
    Push(QStringLiteral("Reset all"), std::move(next));
}

void Session::ClearSelection() {
    SessionState next = State();
    velomire::ClearSelection(next.notes);
    Push(QStringLiteral("Unselect all"), std::move(next));
}

void Session::ToggleSelected(int note) {
    if (!IsKey(note))
        return;
    SessionState next = State();
    NoteSetting& s = next.notes[static_cast<std::size_t>(note)];
    s.selected = static_cast<std::int16_t>(~s.selected);
    Push(QStringLiteral("Select"), std::move(next));
}

void Session::ApplyCalibration(const CalibrationResult& result) {
    SessionState next = State();
    next.notes = velomire::ApplyCalibration(next.notes, result);
    Push(QStringLiteral("Calibrate"), std::move(next));
}

void Session::ApplyVoicing(const VoicingResult& result) {
    SessionState next = State();
    next.notes = velomire::ApplyVoicing(next.notes, result);
    Push(QStringLiteral("Voice"), std::move(next));
}

void Session::SetActiveKey(int note) {
    if (!IsKey(note))
        return;
    SessionState next = State();
    next.activenote = static_cast<std::uint8_t>(note);
    Push(QStringLiteral("Active key"), std::move(next));
}

void Session::Transpose(int offset) {
    offset = std::clamp(offset, -kTransposeRange, kTransposeRange);
    SessionState next = State();
    TransposeOutnotes(next.notes, offset);
    Push(QStringLiteral("Transpose"), std::move(next));
}

void Session::SetRemap(bool remap) {
    SessionState next = State();
    next.remap = remap;
    RemapChannels(next.channels, remap);
    Push(QStringLiteral("Remap"), std::move(next));
}

void Session::Undo() {
    undo_.undo();
}

void Session::Redo() {
    undo_.redo();
}

void Session::ClearHistory() {
    undo_.clear();
}

} // namespace velomire
