#pragma once

#include "core/settings/settings_codec.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velomire::bench {

using Clock = std::chrono::steady_clock;

// A program the benchmark starts and stops itself, by its PID only. It dies with the
// benchmark, so an aborted run leaves nothing behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path) in `directory`, with `environment` ("NAME=value") replacing or
    // adding to the inherited variables. Its output goes to a log file. When passFd >= 0 the
    // child gets that descriptor as its fd 3.
    bool Start(const std::vector<std::string>& argv, const std::string& directory,
               const std::vector<std::string>& environment, std::string& error, int passFd = -1);
    // SIGTERM, then SIGKILL when it has not ended within five seconds; reaps it.
    void Stop();
    bool Running();

    pid_t Pid() const { return pid_; }
    Clock::time_point Started() const { return started_; }
    // What it printed so far (stdout and stderr).
    std::string Output() const;

private:
    pid_t pid_ = -1;
    bool reaped_ = true;
    std::string logPath_;
    Clock::time_point started_{};
};

// Resident memory of a process from /proc/PID/status, in KiB; -1 when unreadable.
// VmRSS counts shared pages too: a JACK client has the server's shared segments mapped
// and locked, which shows under shmem.
struct Memory {
    long rss = -1;
    long anon = -1;
    long file = -1;
    long shmem = -1;
};
Memory ReadMemory(pid_t pid);
// "136.1 MiB (anon 20.3, file 15.0, shmem 100.8)"
std::string MemoryText(const Memory& m);

// The 1-minute load average, for judging how busy the shared machine was.
std::string LoadAverage();

// Nearest-rank percentiles.
struct Percentiles {
    std::size_t count = 0;
    double p50 = 0;
    double p95 = 0;
    double p99 = 0;
    double max = 0;
};
Percentiles Summarize(std::vector<double> values);

// A fresh directory under /tmp, removed with what it holds when this goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    bool Valid() const { return !path_.empty(); }

private:
    std::string path_;
};

// Starts a program that reports one line on its fd 3 (Xvfb's display number, a bus
// daemon's address) and returns that line; empty on failure, with the reason in `error`.
std::string StartReporting(ChildProcess& child, const std::vector<std::string>& argv,
                           std::string& error);

// A private Xvfb on the first free display number.
class Xvfb {
public:
    bool Start(std::string& error);
    void Stop() { child_.Stop(); }
    const std::string& Display() const { return display_; }
    pid_t Pid() const { return child_.Pid(); }

private:
    ChildProcess child_;
    std::string display_;
};

// The setting the benchmarks of the real binary run: `source` plays into Velomire and
// `destination` hears it; channels stay, notes move up kTranspose, every key has a curve
// of its own.
inline constexpr int kTranspose = 2;
// The key the curve drags edit; probes leave it out so their mapping stays known.
inline constexpr int kActiveNote = 60;
SettingsData BenchSetting(const std::string& source, const std::string& destination);
// Writes `data` as DIRECTORY/cfg/NAME.vmc, making the folders.
bool WriteSetting(const std::string& directory, const std::string& name, const SettingsData& data,
                  std::string& error);

// One row of the table scripts/bench.sh prints at the end.
void PrintSummaryRow(const std::string& what, const std::string& figure, const std::string& goal,
                     const std::string& verdict);

std::string Fixed(double value, int decimals);

} // namespace velomire::bench
