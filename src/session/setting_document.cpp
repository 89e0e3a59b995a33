#include "session/setting_document.h"

namespace velomire {

bool SettingDocument::Differs(const SettingsData& now) const {
    if (!file)
        return false;
    SettingsData a = now;
    SettingsData b = *file;
    a.indevice = b.indevice = {};
    a.outdevice = b.outdevice = {};
    a.activenote = b.activenote = 0;
    return !(a == b);
}

std::string WantedDevice(const DeviceNameField& stored) {
    // Some writers pad with NUL bytes instead of spaces: both are padding.
    QString name = DecodeDeviceName(stored);
    while (name.endsWith(QChar(u'\0')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    name = TrimSpaces(name);
    return name == kNotEnabled ? std::string() : name.toStdString();
}

DeviceNameField StoredDevice(const std::string& wanted) {
    return EncodeDeviceName(wanted.empty() ? kNotEnabled : QString::fromStdString(wanted));
}

} // namespace velomire
