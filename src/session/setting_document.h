#pragma once

#include "core/settings/settings_codec.h"

#include <QString>

#include <optional>
#include <string>

namespace velomire {

// The setting in force as a document: the name it was loaded or saved under, and what its
// file holds of what plays, so that the session can tell whether what plays differs from
// it. A value: an undo step keeps the one before a load and the one after.
struct SettingDocument {
    QString name;                     // empty before the first load or save
    std::optional<SettingsData> file; // devices and active key aside

    // What a file stores (curves, output notes, selection, channels) differs; moving the
    // active key alone is not a change worth saving.
    bool Differs(const SettingsData& now) const;

    friend bool operator==(const SettingDocument&, const SettingDocument&) = default;
};

// The device name a file stores for "none".
inline const QString kNotEnabled = QStringLiteral("Not Enabled");

// A stored device name as the session wants it: trimmed, empty for none.
std::string WantedDevice(const DeviceNameField& stored);
// What a file stores for a wanted device (empty: none).
DeviceNameField StoredDevice(const std::string& wanted);

} // namespace velomire
