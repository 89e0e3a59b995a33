#include "bench_support.h"

#include "e2e/jack_harness.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace velomire::bench {

ChildProcess::~ChildProcess() {
    Stop();
    if (!logPath_.empty())
        ::unlink(logPath_.c_str());
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& directory,
                         const std::vector<std::string>& environment, std::string& error,
                         int passFd) {
    Stop();
    if (argv.empty()) {
        error = "nothing to start";
        return false;
    }
    if (logPath_.empty()) {
        char logTemplate[] = "/tmp/velomire-bench-child-XXXXXX";
        const int fd = ::mkstemp(logTemplate);
        if (fd < 0) {
            error = std::string("cannot create a log file: ") + std::strerror(errno);
            return false;
        }
        ::close(fd);
        logPath_ = logTemplate;
    }
    const int logFd = ::open(logPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (logFd < 0) {
        error = std::string("cannot open the log file: ") + std::strerror(errno);
        return false;
    }

    // This environment with the given entries added or replaced.
    const std::vector<std::string> env = e2e::EnvironmentWith(environment, {});
    started_ = Clock::now();
    const pid_t pid = e2e::SpawnChild(
        argv, &env, logFd, logFd, directory.empty() ? nullptr : directory.c_str(), passFd, error);
    if (pid < 0) {
        ::close(logFd);
        return false;
    }
    ::close(logFd);
    pid_ = pid;
    reaped_ = false;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (pid_ <= 0)
        return;
    if (!reaped_) {
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Running() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            reaped_ = true;
        }
    }
    pid_ = -1;
}

std::string ChildProcess::Output() const {
    if (logPath_.empty())
        return {};
    std::ifstream in(logPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Memory ReadMemory(pid_t pid) {
    Memory m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::pair<const char*, long Memory::*> fields[] = {{"VmRSS:", &Memory::rss},
                                                             {"RssAnon:", &Memory::anon},
                                                             {"RssFile:", &Memory::file},
                                                             {"RssShmem:", &Memory::shmem}};
    while (std::getline(status, line)) {
        for (const auto& [name, field] : fields)
            if (line.rfind(name, 0) == 0)
                m.*field = std::strtol(line.c_str() + std::strlen(name), nullptr, 10);
    }
    return m;
}

std::string MemoryText(const Memory& m) {
    if (m.rss < 0)
        return "?";
    const auto mib = [](long kib) { return Fixed(static_cast<double>(kib) / 1024.0, 1); };
    return mib(m.rss) + " MiB (anon " + mib(m.anon) + ", file " + mib(m.file) + ", shmem " +
           mib(m.shmem) + ")";
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string first;
    in >> first;
    return first.empty() ? std::string("?") : first;
}

Percentiles Summarize(std::vector<double> values) {
    Percentiles p;
    p.count = values.size();
    if (values.empty())
        return p;
    std::sort(values.begin(), values.end());
    const auto rank = [&](double q) {
        const auto r = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
        return values[std::clamp<std::size_t>(r, 1, values.size()) - 1];
    };
    p.p50 = rank(0.50);
    p.p95 = rank(0.95);
    p.p99 = rank(0.99);
    p.max = values.back();
    return p;
}

TempDir::TempDir() {
    char pathTemplate[] = "/tmp/velomire-bench-XXXXXX";
    if (::mkdtemp(pathTemplate))
        path_ = pathTemplate;
}

TempDir::~TempDir() {
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string StartReporting(ChildProcess& child, const std::vector<std::string>& argv,
                           std::string& error) {
    int fds[2];
    if (::pipe(fds) != 0) {
        error = "pipe failed";
        return {};
    }
    const bool started = child.Start(argv, "/", {}, error, fds[1]);
    ::close(fds[1]);
    if (!started) {
        ::close(fds[0]);
        return {};
    }
    std::string line;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && line.find('\n') == std::string::npos) {
        if (::poll(&p, 1, 100) > 0) {
            char buffer[256];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fds[0]);
    if (line.find('\n') == std::string::npos) {
        error = argv[0] + " reported nothing; its output:\n" + child.Output();
        child.Stop();
        return {};
    }
    return line.substr(0, line.find('\n'));
}

bool Xvfb::Start(std::string& error) {
    const std::string number = StartReporting(child_,
                                              {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0",
                                               "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                                              error);
    if (number.empty())
        return false;
    display_ = ":" + number;
    return true;
}

SettingsData BenchSetting(const std::string& source, const std::string& destination) {
    SettingsData s;
    s.indevice = EncodeDeviceName(QString::fromStdString(source));
    s.outdevice = EncodeDeviceName(QString::fromStdString(destination));
    s.activenote = kActiveNote;
    for (int c = 0; c < 16; ++c)
        s.channels[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c);
    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& e = s.notes[static_cast<std::size_t>(n)];
        SetKeyStartupValues(e, n);
        e.outnote = static_cast<std::uint8_t>(std::clamp(n + kTranspose, 0, 127));
        if (IsKey(n)) {
            e.exp = 0.5 + (n % 7) * 0.25;
            e.vcut = static_cast<std::uint8_t>(n % 9);
            e.vmax = static_cast<std::uint8_t>(90 + n % 38);
        }
    }
    return s;
}

bool WriteSetting(const std::string& directory, const std::string& name, const SettingsData& data,
                  std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(directory + "/cfg", ec);
    const SettingsBytes bytes = EncodeSettings(data);
    std::ofstream out(directory + "/cfg/" + name + ".vmc", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        error = "cannot write " + directory + "/cfg/" + name + ".vmc";
        return false;
    }
    return true;
}

void PrintSummaryRow(const std::string& what, const std::string& figure, const std::string& goal,
                     const std::string& verdict) {
    std::printf("SUMMARY|%s|%s|%s|%s\n", what.c_str(), figure.c_str(), goal.c_str(),
                verdict.c_str());
    std::fflush(stdout);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace velomire::bench
