#pragma once

#include <QString>

#include <optional>

namespace velomire {

// Keeps a second stage box from playing the same setting (a service plus a manual start
// would send every note twice). The lock is an flock on a file named after the setting
// file's canonical path, in $XDG_RUNTIME_DIR or else in a folder only this user can write;
// it ends with its process, however that ends, so no stale lock outlives a crash. Stage
// boxes of different settings run side by side.
class StageLock {
public:
    StageLock(StageLock&& other) noexcept;
    StageLock& operator=(StageLock&& other) noexcept;
    ~StageLock();

    struct Taken;
    // `settingFile` must exist. `runtimeDir` is $XDG_RUNTIME_DIR (may be empty).
    static Taken Take(const QString& settingFile, const QString& runtimeDir);

private:
    explicit StageLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

struct StageLock::Taken {
    std::optional<StageLock> lock; // held: this process plays the setting
    QString refusal;               // another process plays it: "process 1234"
    QString warning;               // no lock could be taken (the setting still plays)
};

} // namespace velomire
