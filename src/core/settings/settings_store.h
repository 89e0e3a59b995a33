#pragma once

#include "core/settings/settings_codec.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace velomire {

struct SaveResult {
    bool ok = false;
    QString error{}; // names the file and the reason; empty when ok
};

enum class LoadStatus {
    Missing,    // no such file (or no folder, or an unsafe name)
    Unreadable, // something is there but cannot be read: not a regular file, no permission
    Invalid,    // read, but not a settings file: too short, wrong magic or version
    Ok,
};
struct LoadResult {
    LoadStatus status = LoadStatus::Missing;
    SettingsData data{}; // meaningful only when status is Ok
    QString error{};     // unless Ok: one sentence for the user, naming the file and why
};

// Longest name in UTF-8 bytes anywhere: "<name>.vmc" then fits in 255. A file system with
// a shorter limit lowers it.
constexpr int kMaxSettingNameBytes = 251;

// The library of named settings: one "<name>.vmc" per setting in one folder, fixed when the
// store is made, so a later change of working directory, or its removal, never sends a
// save elsewhere. Only regular files directly in the folder are read or replaced; links,
// folders, pipes, devices and sockets in it are never followed, opened for writing or
// waited on. The folder itself may be a link to a folder.
class SettingsStore {
public:
    // `folder` must be absolute; a relative one gives a store on which every save fails.
    explicit SettingsStore(QString folder);
    // "<working directory>/cfg" as of now. When the working directory cannot be found,
    // every save fails with a message, and the library looks empty.
    static SettingsStore InWorkingDirectory();

    const QString& Folder() const { return folder_; }
    // Folder() + "/" + name + ".vmc", for messages. The name is used as given.
    QString PathOf(const QString& name) const;

    // A setting name becomes a file name that travels between systems, so anything one of
    // them refuses or reads as a path is rejected: empty or blank names, / \ : * ? " < > |,
    // "..", control characters, a trailing space or dot, Windows device names (CON, PRN,
    // AUX, NUL, COM0-9, LPT0-9, ...) and names too long for the folder's file system (at
    // most kMaxSettingNameBytes), and characters that show nothing or turn the text around
    // (direction controls, zero-width marks, a byte-order mark), with which a name looks
    // like another. nullopt when safe, else a short sentence for the user.
    std::optional<QString> UnsafeNameReason(const QString& name) const;
    // The same without the rule on invisible characters: an existing file so named can still
    // be listed and read (shown escaped), but no new one is made.
    std::optional<QString> UnreadableNameReason(const QString& name) const;

    // Removes temporary files that a save left behind when it was cut short (a crash, a
    // kill), older than `age`, never one that a running save still holds (it keeps it
    // locked from its creation on). Quietly does nothing it cannot do.
    void RemoveStaleTemporaryFiles(std::chrono::seconds age = std::chrono::seconds(60)) const;

    // Names of the files in the folder that would load: exactly "*.vmc", a safe name, a
    // regular file, readable, at least kSettingsFileSize bytes and a valid header. Sorted
    // case-insensitively, ties in plain code-unit order, so the order is the same on every
    // system and locale. A missing folder gives an empty list.
    QStringList List() const;

    // What holds the name's file: Setting is a regular file (valid or not); Other is anything
    // else, a dangling link included. Nothing also for unsafe names.
    enum class Occupant { Nothing, Setting, Other };
    Occupant At(const QString& name) const;

    // Refuses unsafe names and names held by anything but a regular file; creates the folder
    // when it is missing but its parent is there. Writes a temporary file, syncs it and
    // renames it into place, then syncs the folder: on any failure the old file is as it
    // was and no temporary file is left.
    SaveResult Write(const QString& name, const SettingsBytes& bytes) const;

    // Missing: no file there, no folder, or an unsafe name (nothing is looked up).
    // Unreadable: not a regular file, no permission to read it or its folder, a read error.
    // Invalid: too short or a bad header. Ok: the whole record was read and decoded
    // (damaged values made safe). Every error is worded here, once for every front end.
    LoadResult Read(const QString& name) const;

private:
    QString folder_; // absolute; empty when unknown
    int maxNameBytes_ = kMaxSettingNameBytes;
};

// The system calls of a save, in order, for FailSaveStepForTesting.
enum class SaveStep { Create, Write, SyncFile, Close, Rename, SyncFolder };
// Tests only: from now on `step` of every save fails with errno `error` instead of reaching
// the system (Close still closes); error 0 ends it.
void FailSaveStepForTesting(SaveStep step, int error);
// The same for a read: opening the folder, or the file in it.
enum class ReadStep { OpenFolder, OpenFile };
void FailReadStepForTesting(ReadStep step, int error);

} // namespace velomire
