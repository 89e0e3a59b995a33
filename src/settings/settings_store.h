#pragma once

#include "settings/settings_codec.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace velomire {

// "<current dir>/cfg", taken afresh at every call (the working directory may change).
QString SettingsFolder();
// SettingsFolder() + "/" + name + ".vmc". The name is used as given; check it with
// UnsafeNameReason first.
QString SettingsPath(const QString& name);

// A setting name becomes a file name that travels between systems, so anything one of them
// refuses or reads as a path is rejected: / \ : * ? " < > |, "..", control characters, a
// trailing space or dot, Windows device names (CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...) and
// names whose file name would pass 255 bytes. The empty name is allowed (file ".vmc").
// nullopt when safe, else a short sentence for the user.
std::optional<QString> UnsafeNameReason(const QString& name);
// Longest allowed name in UTF-8 bytes: the file name "<name>.vmc" then fits in 255.
constexpr int kMaxSettingNameBytes = 251;

// Names of the files in the settings folder that would load: exactly "*.vmc", a safe name,
// readable, at least kSettingsFileSize bytes and a valid header. Sorted case-insensitively,
// ties in plain code-unit order, so the order is the same on every system and locale.
// A missing folder gives an empty list.
QStringList ListSettings();

// True when anything (even a folder) is at SettingsPath(name); false for unsafe names.
bool SettingsFileExists(const QString& name);

struct SaveResult {
    bool ok = false;
    QString error{}; // names the file and the reason; empty when ok
};
// Refuses unsafe names, creates the settings folder when missing and replaces the file
// atomically: the old file stays intact when anything fails.
SaveResult WriteSettingsFile(const QString& name, const SettingsBytes& bytes);

enum class LoadStatus { Missing, Invalid, Ok };
struct LoadResult {
    LoadStatus status = LoadStatus::Missing;
    SettingsData data{}; // meaningful only when status is Ok
    QString error{};     // why, when not Ok and there is more to say than "missing"
};
// Missing: no file there, or an unsafe name (nothing is looked up; error says why).
// Invalid: not a regular file, unreadable, too short or a bad header.
// Ok: the whole record was read and decoded (damaged values made safe).
LoadResult ReadSettingsFile(const QString& name);

} // namespace velomire
