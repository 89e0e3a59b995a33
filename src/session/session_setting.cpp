// The session's setting as a document: load, save, the question before leaving, and
// whether what plays differs from the file.

#include "session/session.h"
#include "session/session_step.h"

#include <algorithm>

namespace velomire {

Session::Outcome Session::LoadSetting(const QString& name) {
    if (const auto reason = store_.UnreadableNameReason(name))
        return {false, *reason};
    const LoadResult r = store_.Read(name);
    if (r.status != LoadStatus::Ok)
        return {false, r.error};
    ApplySetting(r.data, name);
    return {};
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
    Loaded before{doc_, in_.name, out_.name};
    Loaded after{{name, Capture(next)}, WantedDevice(data.indevice), WantedDevice(data.outdevice)};
    if (next == State() && before == after) {
        RestoreLoaded(after); // the same setting again: its devices are chosen again
        return;
    }
    undo_.push(new SessionStep(*this, QStringLiteral("Load %1").arg(name), State(), std::move(next),
                               std::move(before), std::move(after)));
}

void Session::RestoreLoaded(const Loaded& loaded) {
    SetDocument(loaded.doc);
    // Output first, so that the Local Control Off of the opening reaches the instrument.
    Want(Direction::Output, loaded.out);
    Want(Direction::Input, loaded.in);
    if (follow_.isActive())
        LookAtDevices();
    Q_EMIT DevicesChanged();
}

std::optional<QString> Session::SaveRefusal(const QString& name) const {
    return store_.UnsafeNameReason(name);
}

bool Session::SettingExists(const QString& name) const {
    return store_.At(name) == SettingsStore::Occupant::Setting;
}

Session::Outcome Session::SaveSetting(const QString& name) {
    if (const auto reason = SaveRefusal(name))
        return {false, *reason};
    const SettingsData data = CaptureSetting(StoredDevice(in_.name), StoredDevice(out_.name));
    const SaveResult r = store_.Write(name, EncodeSettings(data));
    if (!r.ok)
        return {false, r.error};
    SetDocument({name, Capture(state_)});
    return {};
}

std::optional<Session::LeaveQuestion> Session::BeforeLeaving(const QString& newName) const {
    if (!Modified())
        return std::nullopt;
    if (doc_.name.isEmpty())
        return LeaveQuestion{
            QStringLiteral("Save the changes as \"%1\" before going on?").arg(newName), newName,
            false};
    return LeaveQuestion{
        QStringLiteral("Save the changes to \"%1\" before going on?").arg(doc_.name), doc_.name,
        true};
}

SettingsData Session::Capture(const SessionState& s) {
    SettingsData d;
    d.activenote = s.activenote;
    std::copy_n(s.channels.begin(), d.channels.size(), d.channels.begin());
    std::copy_n(s.notes.begin(), d.notes.size(), d.notes.begin());
    return d;
}

SettingsData Session::CaptureSetting(const DeviceNameField& indevice,
                                     const DeviceNameField& outdevice) const {
    SettingsData d = Capture(state_);
    d.indevice = indevice;
    d.outdevice = outdevice;
    return d;
}

void Session::Start(const SessionState& state) {
    Restore(state);
    undo_.clear();
    // A setting not saved yet: what differs from this start is a change worth asking about.
    SetDocument({QString(), Capture(state_)});
}

void Session::SetDocument(SettingDocument doc) {
    const bool renamed = doc.name != doc_.name;
    doc_ = std::move(doc);
    const bool modified = Modified();
    if (renamed || modified != wasModified_) {
        wasModified_ = modified;
        Q_EMIT Changed(Document);
    }
}

bool Session::Modified() const {
    return doc_.Differs(Capture(state_));
}

} // namespace velomire
