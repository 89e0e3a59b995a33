#include "jack_bench_support.h"

#include "core/velocity/note_table.h"

#include <QEventLoop>
#include <QTimer>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace velomire::bench::jackbench {

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--runs")
            o.runs = std::clamp(value, 1, 20);
        else if (name == "--probes")
            o.probes = std::clamp(value, 10, 10000);
        else if (name == "--burst")
            o.burst = std::clamp(value, 100, 30000);
        else if (name == "--per-period")
            o.burstPerPeriod = static_cast<unsigned>(std::clamp(value, 0, 2000));
        else if (name == "--gap")
            o.gapPeriods = static_cast<unsigned>(std::clamp(value, 1, 100));
        else if (name == "--sysex")
            o.sysex = std::clamp(value, 1, 5000);
        else if (name == "--sysex-bytes")
            o.sysexBytes = std::clamp(value, 6, 64 * 1024);
        else if (name == "--block-ms")
            o.blockMs = std::clamp(value, 1, 5000);
        else if (name == "--modes")
            o.modes = argv[i + 1];
    }
    return o;
}

Bytes Mapped(const SettingsData& s, const Bytes& in) {
    const std::uint8_t kind = in[0] & 0xF0;
    const std::uint8_t channel = s.channels[in[0] & 0x0F] & 0x0F;
    const NoteSetting& note = s.notes[in[1] & 0x7F];
    if (kind == 0x90 && in[2] > 0)
        return {static_cast<std::uint8_t>(0x90 | channel), note.outnote, MapVelocity(in[2], note)};
    if (kind == 0x80 || kind == 0x90)
        return {static_cast<std::uint8_t>(kind | channel), note.outnote, in[2]};
    return {static_cast<std::uint8_t>(kind | channel), in[1], in[2]};
}

std::vector<Probe> MakeProbes(int count, std::mt19937& random) {
    std::vector<Probe> probes;
    std::uint8_t key = 0;
    std::uint8_t channel = 0;
    for (int i = 0; i < count; ++i) {
        Probe p;
        p.size = 3;
        if (i % 2 == 0) {
            do
                key = static_cast<std::uint8_t>(kLowestKey + random() % 88);
            while (key == kActiveNote);
            channel = static_cast<std::uint8_t>(random() % 16);
            p.bytes = {static_cast<std::uint8_t>(0x90 | channel), key,
                       static_cast<std::uint8_t>(1 + random() % 127)};
        } else {
            p.bytes = {static_cast<std::uint8_t>(0x80 | channel), key, 64};
        }
        p.offset = static_cast<jack_nframes_t>(random() % 64);
        probes.push_back(p);
    }
    return probes;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (done())
        return true;
    const auto deadline = Clock::now() + timeout;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || Clock::now() >= deadline)
            loop.quit();
    });
    check.start(2);
    loop.exec();
    return done();
}

void Pause(std::chrono::milliseconds length) {
    WaitFor([] { return false; }, length);
}

bool SaysLost(const std::string& output) {
    return output.find("MIDI data lost") != std::string::npos;
}

std::uint64_t Total(const RealtimeEngine::Losses& l) {
    return l.inputFull + l.sysexNoRoom + l.sysexIncomplete + l.outputFull;
}

namespace {
const e2e::JackServer* g_server = nullptr;
} // namespace

void WatchServer(const e2e::JackServer* server) {
    g_server = server;
}

std::size_t ServerTimeouts() {
    if (!g_server)
        return 0;
    const std::string log = g_server->Output();
    std::size_t n = 0;
    for (std::size_t at = log.find("SuspendRefNum error"); at != std::string::npos;
         at = log.find("SuspendRefNum error", at + 1))
        ++n;
    return n;
}

std::size_t ServerLogMark() {
    return g_server ? g_server->Output().size() : 0;
}

LogXRuns ServerXRunsSince(std::size_t mark) {
    LogXRuns x;
    if (!g_server)
        return x;
    const std::string log = g_server->Output();
    std::istringstream lines(log.substr(std::min(mark, log.size())));
    std::map<std::string, std::size_t> byName;
    std::string line;
    const std::string unfinished = "XRun: client = ";
    while (std::getline(lines, line)) {
        if (line.find("JackTimedDriver::Process XRun") != std::string::npos) {
            ++x.late;
        } else if (const auto at = line.find(unfinished); at != std::string::npos) {
            ++x.unfinished;
            const auto from = at + unfinished.size();
            ++byName[line.substr(from, line.find(' ', from) - from)];
        }
    }
    for (const auto& [name, n] : byName)
        x.names += (x.names.empty() ? "" : ", ") + name + " x" + std::to_string(n);
    return x;
}

std::string LogXRuns::Text() const {
    return std::to_string(late) + " late cycles, " + std::to_string(unfinished) +
           " unfinished clients" + (names.empty() ? "" : " (" + names + ")");
}

long RealtimeThreadFaults(pid_t pid, pid_t skip) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir)
        return -1;
    long faults = -1;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' || std::atol(e->d_name) == skip)
            continue;
        std::ifstream stat(tasks + "/" + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        // Fields from the state on (the third): minflt is the 10th, majflt the 12th, the
        // scheduling policy the 41st.
        std::istringstream fields(line.substr(close + 2));
        std::vector<std::string> f;
        for (std::string v; fields >> v;)
            f.push_back(v);
        if (f.size() < 39)
            continue;
        const int policy = std::atoi(f[41 - 3].c_str());
        if (policy != 1 && policy != 2) // SCHED_FIFO, SCHED_RR
            continue;
        faults = std::max(faults, 0L) + std::atol(f[10 - 3].c_str()) + std::atol(f[12 - 3].c_str());
    }
    ::closedir(dir);
    return faults;
}

double StealMs() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu;
    for (auto& x : v)
        in >> x;
    return 1000.0 * static_cast<double>(v[7]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace velomire::bench::jackbench
