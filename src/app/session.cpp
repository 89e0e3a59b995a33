#include "app/session.h"

#include <QUndoCommand>

#include <algorithm>

namespace velomire {

// One undo step: the whole state before and after. A state is a few kilobytes, and keeping
// both makes every step, a settings load included, exactly reversible.
class SessionStep final : public QUndoCommand {
public:
    SessionStep(Session& session, const QString& text, SessionState before, SessionState after,
                int gesture)
        : QUndoCommand(text), session_(session), before_(std::move(before)),
          after_(std::move(after)), gesture_(gesture) {}

    void redo() override { session_.Restore(after_); }
    void undo() override { session_.Restore(before_); }
    int id() const override { return gesture_ != 0 ? 1 : -1; }
    bool mergeWith(const QUndoCommand* other) override {
        const auto* next = static_cast<const SessionStep*>(other);
        if (next->gesture_ != gesture_)
            return false;
        after_ = next->after_;
        setObsolete(before_ == after_);
        return true;
    }

private:
    Session& session_;
    SessionState before_;
    SessionState after_;
    int gesture_;
};

void TransposeOutnotes(NoteTable& notes, int offset) {
    for (int n = 0; n <= 127; ++n)
        notes[static_cast<std::size_t>(n)].outnote =
            static_cast<std::uint8_t>(std::clamp(n + offset, 0, 127));
}

void RemapChannels(ChannelTable& channels, bool remap) {
    for (int c = 0; c < 16; ++c)
        channels[static_cast<std::size_t>(c)] = remap ? 0 : static_cast<std::uint8_t>(c);
}

Session::Session(Engine& engine, QObject* parent) : QObject(parent), engine_(engine) {}

SessionState Session::State() const {
    return {engine_.notes, engine_.ChannelMap, engine_.activenote, transposition_, remap_};
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
        const NoteSetting& a = engine_.notes[static_cast<std::size_t>(k)];
        const NoteSetting& b = s.notes[static_cast<std::size_t>(k)];
        if (a.exp != b.exp || a.vcut != b.vcut || a.vmax != b.vmax)
            what |= Curves;
        if (a.selected != b.selected)
            what |= Selection;
        if (a.outnote != b.outnote)
            what |= Transposition;
    }
    if (s.activenote != engine_.activenote)
        what |= ActiveKey;
    if (s.transposition != transposition_)
        what |= Transposition;
    if (s.remap != remap_ || s.channels != engine_.ChannelMap)
        what |= Remap;
    engine_.notes = s.notes;
    engine_.ChannelMap = s.channels;
    engine_.activenote = s.activenote;
    transposition_ = s.transposition;
    remap_ = s.remap;
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
    next.transposition = offset;
    TransposeOutnotes(next.notes, offset);
    Push(QStringLiteral("Transpose"), std::move(next));
}

void Session::SetRemap(bool remap) {
    SessionState next = State();
    next.remap = remap;
    RemapChannels(next.channels, remap);
    Push(QStringLiteral("Remap"), std::move(next));
}

void Session::ApplySetting(const SettingsData& data, const QString& name) {
    SessionState next = State();
    next.activenote = data.activenote;
    std::copy(data.channels.begin(), data.channels.end(), next.channels.begin());
    std::copy(data.notes.begin(), data.notes.end(), next.notes.begin());
    const bool remap = data.channels[15] == 0;
    if (remap != next.remap) {
        next.remap = remap;
        RemapChannels(next.channels, remap);
    }
    Push(QStringLiteral("Load %1").arg(name), std::move(next));
    SetBaseline(name);
}

SettingsData Session::CaptureSetting(const DeviceNameField& indevice,
                                     const DeviceNameField& outdevice) const {
    SettingsData d;
    d.indevice = indevice;
    d.outdevice = outdevice;
    d.activenote = engine_.activenote;
    std::copy_n(engine_.ChannelMap.begin(), d.channels.size(), d.channels.begin());
    std::copy_n(engine_.notes.begin(), d.notes.size(), d.notes.begin());
    return d;
}

void Session::MarkSaved(const QString& name) {
    SetBaseline(name);
}

void Session::Start(const SessionState& state) {
    Restore(state);
    undo_.clear();
    SetBaseline(QString());
}

void Session::SetBaseline(const QString& name) {
    baseline_ = CaptureSetting({}, {});
    hasBaseline_ = true;
    const bool renamed = name != name_;
    name_ = name;
    const bool modified = Modified();
    if (renamed || modified != wasModified_) {
        wasModified_ = modified;
        Q_EMIT Changed(Document);
    }
}

bool Session::Modified() const {
    if (!hasBaseline_)
        return false;
    SettingsData now = CaptureSetting({}, {});
    now.activenote = baseline_.activenote;
    return !(now == baseline_);
}

} // namespace velomire
