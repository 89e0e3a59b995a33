// Latency and throughput through one private JACK server (dummy driver, 48 kHz, 64-frame
// periods), all in the same run so the figures compare. Every latency mode runs several
// times, the modes taking turns, so a busy spell on the shared machine falls on all:
//   - a bare RtMidi pass-through, the floor for this transport;
//   - the window app (offscreen) and the headless runner, the real binary, their ports
//     chosen by a setting written here;
//   - the window in this process: idle, its UI thread kept busy by curve drags and
//     display refreshes, and its UI thread blocked outright for long spells;
//   - a burst through the window app;
//   - long SysEx, one per period, through the window in this process while its UI thread
//     is blocked.
// Latency is the arrival frame minus the sending frame, both JACK frame times stamped by
// the peer's process callback. Each probe leaves at a random frame offset in its period,
// so the spread (max - min) shows whether a message keeps its place in the period.
// Prints its figures, then SUMMARY rows for bench.sh.
#include "bench_support.h"
#include "core/midi/jack_midi.h"
#include "core/midi/rtmidi_backend.h"
#include "core/settings/settings_codec.h"
#include "e2e/jack_harness.h"
#include "probe_peer.h"
#include "silent_boxes.h"
#include "support/widget_events.h"
#include "sysex_peer.h"
#include "ui/main_window.h"
#include "ui_main_window.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velomire;
using namespace velomire::bench;
using velomire::e2e::Bytes;

namespace {

constexpr const char* kProbePeerName = "vbench";
constexpr const char* kBurstPeerName = "vbench-burst";
constexpr const char* kSysExPeerName = "vbench-sysex";
constexpr double kRate = 48000.0;

struct Options {
    int runs = 3;
    int probes = 2000;
    unsigned gapPeriods = 3;
    int warmup = 50;
    int burst = 20000;
    unsigned burstPerPeriod = 0; // 0: as many as the port buffer takes
    int sysex = 1000;
    int sysexBytes = 30 * 1024;
    int blockMs = 500;
    // Which stages run, by name: bare, window, headless, inprocess, burst (all by default).
    std::string modes = "bare,window,headless,inprocess,burst";
    bool Runs(const char* mode) const { return modes.find(mode) != std::string::npos; }
};

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

// What a note or controller message must leave as under the setting: the key's curve and
// output note, the channel table. Tables never change during a run, so a note's end goes
// where any fresh end would.
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

using MapFn = std::function<Bytes(const Bytes&)>;

// Note-on then note-off on the same key and channel, keys and velocities spread, each at
// its own frame offset in its period. The same list goes to every target.
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

// ---- Waiting ---------------------------------------------------------------------------

// Runs this thread's event loop until done() or the timeout: the in-process window needs
// its events, and for the other stages it costs nothing.
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

// Both of the peer's ports connected to exactly one port, i.e. the target chose them.
template <typename Peer>
bool WaitConnected(const Peer& peer, ChildProcess* child, std::chrono::milliseconds timeout) {
    bool died = false;
    const bool ok = WaitFor(
        [&] {
            if (child && !child->Running()) {
                died = true;
                return true;
            }
            return peer.Connections(peer.OutPortName()).size() == 1 &&
                   peer.Connections(peer.InPortName()).size() == 1;
        },
        timeout);
    return ok && !died;
}

template <typename Peer> bool WaitDisconnected(const Peer& peer) {
    return WaitFor(
        [&] {
            return peer.Connections(peer.OutPortName()).empty() &&
                   peer.Connections(peer.InPortName()).empty();
        },
        std::chrono::seconds(5));
}

template <typename Peer> std::string TargetPorts(const Peer& peer) {
    const auto in = peer.Connections(peer.OutPortName());
    const auto out = peer.Connections(peer.InPortName());
    return (in.empty() ? std::string("?") : in[0]) + " -> " +
           (out.empty() ? std::string("?") : out[0]);
}

// Lines a Velomire child prints when it has lost MIDI data.
bool SaysLost(const std::string& output) {
    return output.find("MIDI data lost") != std::string::npos;
}

std::uint64_t Total(const RealtimeEngine::Losses& l) {
    return l.inputFull + l.sysexNoRoom + l.sysexIncomplete + l.outputFull;
}

// ---- Latency ---------------------------------------------------------------------------

// Cycles in which the server stopped waiting for its clients, from its log: in sync mode a
// client held up well past its cycle (a 30 ms stall does it here, 12 ms does not) is left
// behind ("SuspendRefNum error"), and a message it carried leaves a period late through no
// fault of its own code. (The dummy driver's "XRun" lines only say that a cycle began late
// on the wall clock; frame times still advance by one period per cycle.)
e2e::JackServer* g_server = nullptr;

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

// Time the hypervisor kept this machine's CPUs from running it (steal), in ms, all CPUs
// together; 0 on bare metal. A stall of more than a dozen milliseconds holds up every JACK
// client at once, whatever its priority.
double StealMs() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu;
    for (auto& x : v)
        in >> x;
    return 1000.0 * static_cast<double>(v[7]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Latency {
    std::string name;
    bool ran = false;
    std::vector<double> frames; // one per probe that came back
    std::size_t probes = 0;
    std::size_t lost = 0;         // never came back (or came back wrong)
    std::size_t unexpected = 0;   // came back but matched no outstanding probe
    std::uint64_t dropped = 0;    // what Velomire counted as lost (in process), or 1 if it said so
    std::size_t timeouts = 0;     // cycles the server stopped waiting, while probes played
    double peerLateUs = 0;        // the latest the peer began a period, after its start
    double stealMs = 0;           // CPU time the hypervisor took, while probes played
    std::uint64_t peerCycles = 0; // periods the peer ran while probes played
    long targetCycles = -1;       // and Velomire, where it runs in this process
    std::vector<std::string> odd; // probes whose latency is not the run's most common one
    Memory memory;
    std::string load; // load average before and after
    std::string note;

    bool Clean() const { return ran && lost == 0 && unexpected == 0 && dropped == 0; }
};

struct Figures {
    Percentiles p;
    double min = 0;
    double Spread() const { return p.count ? p.max - min : 0; }
};

Figures FiguresOf(const std::vector<double>& values) {
    Figures f;
    f.p = Summarize(values);
    if (!values.empty())
        f.min = *std::min_element(values.begin(), values.end());
    return f;
}

// targetCycles: the periods Velomire has run, where it runs in this process.
Latency Measure(ProbePeer& peer, const std::vector<Probe>& probes, const MapFn& map, unsigned gap,
                const std::function<std::uint64_t()>& targetCycles = {}) {
    Latency r;
    r.probes = probes.size();
    std::vector<Bytes> expected;
    for (const Probe& p : probes)
        expected.push_back(map(Bytes(p.bytes.begin(), p.bytes.begin() + p.size)));

    const std::size_t arrivedBefore = peer.ArrivedCount();
    const std::size_t timeoutsBefore = ServerTimeouts();
    peer.ResetLateness();
    const double stealBefore = StealMs();
    const std::uint64_t peerCyclesBefore = peer.Cycles();
    const std::uint64_t targetCyclesBefore = targetCycles ? targetCycles() : 0;
    const long first = peer.Play(probes, gap);
    if (first < 0) {
        r.note = "the peer's probe list is full";
        return r;
    }
    const std::size_t end = static_cast<std::size_t>(first) + probes.size();
    const double period = static_cast<double>(peer.BufferSize()) / kRate;
    const auto playing = std::chrono::milliseconds(
        static_cast<long>(1000.0 * period * gap * static_cast<double>(probes.size())));
    Clock::time_point allSent{};
    WaitFor(
        [&] {
            if (peer.SentCount() < end)
                return false;
            if (allSent == Clock::time_point{})
                allSent = Clock::now();
            return peer.ArrivedCount() - arrivedBefore >= probes.size() ||
                   Clock::now() - allSent > std::chrono::seconds(1);
        },
        playing * 3 + std::chrono::seconds(10));

    // Arrivals in order against the probes in order; a probe skipped over is lost.
    std::size_t next = 0;
    std::vector<std::size_t> matched; // the probe each latency belongs to
    const std::size_t arrived = peer.ArrivedCount();
    for (std::size_t k = arrivedBefore; k < arrived; ++k) {
        const Arrival& a = peer.Arrived(k);
        const Bytes got(a.bytes.begin(), a.bytes.begin() + a.size);
        std::size_t m = next;
        const std::size_t limit = std::min(next + 32, expected.size());
        while (m < limit && expected[m] != got)
            ++m;
        if (m >= limit) {
            ++r.unexpected;
            continue;
        }
        r.lost += m - next;
        const auto sent = peer.SentFrame(static_cast<std::size_t>(first) + m);
        r.frames.push_back(static_cast<double>(static_cast<std::int32_t>(a.frame - sent)));
        matched.push_back(m);
        next = m + 1;
    }
    r.lost += expected.size() - next;
    r.timeouts = ServerTimeouts() - timeoutsBefore;
    r.peerLateUs = peer.LatestStartMicros();
    r.stealMs = StealMs() - stealBefore;
    // Read one after the other: a period may end between the reads.
    r.peerCycles = peer.Cycles() - peerCyclesBefore;
    if (targetCycles)
        r.targetCycles = static_cast<long>(targetCycles() - targetCyclesBefore);
    r.ran = true;

    // Which probes left the common latency, when and where in their period.
    std::map<double, std::size_t> seen;
    for (const double f : r.frames)
        ++seen[f];
    double common = 0;
    std::size_t most = 0;
    for (const auto& [latency, n] : seen)
        if (n > most) {
            most = n;
            common = latency;
        }
    for (std::size_t i = 0; i < r.frames.size() && r.odd.size() < 5; ++i) {
        if (r.frames[i] == common)
            continue;
        const std::size_t m = matched[i];
        const double at = static_cast<double>(static_cast<std::int32_t>(
                              peer.SentFrame(static_cast<std::size_t>(first) + m) -
                              peer.SentFrame(static_cast<std::size_t>(first)))) /
                          kRate;
        r.odd.push_back("probe " + std::to_string(m) + " at " + Fixed(at, 2) + " s, offset " +
                        std::to_string(probes[m].offset) + ": " + Fixed(r.frames[i], 0) +
                        " frames");
    }
    return r;
}

std::string FramesText(const Percentiles& p) {
    return Fixed(p.p50, 0) + " / " + Fixed(p.p99, 0) + " / " + Fixed(p.max, 0);
}

// showOdd: for modes whose latency should not vary.
void PrintRun(const Latency& r, int run, bool showOdd = true) {
    if (!r.ran) {
        std::printf("  %-30s run %d  not measured: %s\n", r.name.c_str(), run, r.note.c_str());
        std::fflush(stdout);
        return;
    }
    const Figures f = FiguresOf(r.frames);
    std::printf("  %-30s run %d  p50/p99/max %s, min %s, spread %s frames; %zu probes, lost %zu, "
                "unexpected %zu, dropped %llu, server timeouts %zu, peer began a period up to %.1f "
                "ms late, "
                "steal %.0f ms",
                r.name.c_str(), run, FramesText(f.p).c_str(), Fixed(f.min, 0).c_str(),
                Fixed(f.Spread(), 0).c_str(), r.probes, r.lost, r.unexpected,
                static_cast<unsigned long long>(r.dropped), r.timeouts, r.peerLateUs / 1000.0,
                r.stealMs);
    if (r.targetCycles >= 0)
        std::printf(", periods run: peer %llu, Velomire %ld",
                    static_cast<unsigned long long>(r.peerCycles), r.targetCycles);
    if (!r.load.empty())
        std::printf(", load %s", r.load.c_str());
    std::printf("\n");
    if (showOdd)
        for (const std::string& odd : r.odd)
            std::printf("    off the common latency: %s\n", odd.c_str());
    if (r.memory.rss >= 0)
        std::printf("    resident 2 s after start: %s\n", MemoryText(r.memory).c_str());
    if (!r.note.empty())
        std::printf("    %s\n", r.note.c_str());
    std::fflush(stdout);
}

// One mode's runs, pooled.
struct Mode {
    std::string name;
    std::vector<Latency> runs;

    bool AllRan() const {
        return !runs.empty() &&
               std::all_of(runs.begin(), runs.end(), [](const Latency& r) { return r.ran; });
    }
    Figures Pooled() const {
        std::vector<double> all;
        for (const Latency& r : runs)
            all.insert(all.end(), r.frames.begin(), r.frames.end());
        return FiguresOf(all);
    }
    std::size_t Missing() const {
        std::size_t n = 0;
        for (const Latency& r : runs)
            n += r.lost + r.unexpected + static_cast<std::size_t>(r.dropped);
        return n;
    }
    // Probes off the pooled median latency, and how many of them came in runs where the
    // server stopped waiting for a client: such a cycle holds up every client.
    std::string OffText() const {
        const double common = Pooled().p.p50;
        std::size_t off = 0, stalled = 0;
        for (const Latency& r : runs) {
            const auto n = static_cast<std::size_t>(std::count_if(
                r.frames.begin(), r.frames.end(), [&](double v) { return v != common; }));
            off += n;
            if (r.timeouts > 0)
                stalled += n;
        }
        return std::to_string(off) + " off the common latency, " + std::to_string(stalled) +
               " of them in runs where the server timed out";
    }
    std::size_t Timeouts() const {
        std::size_t n = 0;
        for (const Latency& r : runs)
            n += r.timeouts;
        return n;
    }
    std::size_t Probes() const {
        std::size_t n = 0;
        for (const Latency& r : runs)
            n += r.probes;
        return n;
    }
    std::string Spreads() const {
        std::string text;
        for (const Latency& r : runs)
            text += (text.empty() ? "" : ", ") +
                    (r.ran ? Fixed(FiguresOf(r.frames).Spread(), 0) : std::string("?"));
        return text;
    }
};

struct Target {
    std::string name;
    std::vector<std::string> argv;
    std::string directory;
    std::vector<std::string> environment;
};

// Starts a target wired to the peer by its setting (or its arguments), lets it settle,
// reads its memory two seconds after exec, warms up, then measures.
Latency RunChild(const Target& t, ProbePeer& peer, const std::vector<Probe>& warmup,
                 const std::vector<Probe>& probes, const MapFn& map, const Options& o) {
    Latency r;
    r.name = t.name;
    ChildProcess child;
    std::string error;
    if (!child.Start(t.argv, t.directory, t.environment, error)) {
        r.note = error;
        return r;
    }
    if (!WaitConnected(peer, &child, std::chrono::seconds(20))) {
        r.note = "it never connected to the peer; its output:\n" + child.Output();
        return r;
    }
    WaitFor([&] { return Clock::now() - child.Started() >= std::chrono::seconds(2); },
            std::chrono::seconds(3));
    r.memory = ReadMemory(child.Pid());
    const Latency warm = Measure(peer, warmup, map, 2);
    if (!warm.Clean())
        r.note = "warm-up: lost " + std::to_string(warm.lost) + ", unexpected " +
                 std::to_string(warm.unexpected);
    const std::string loadBefore = LoadAverage();
    Latency m = Measure(peer, probes, map, o.gapPeriods);
    m.load = loadBefore + " -> " + LoadAverage();
    m.name = r.name;
    m.memory = r.memory;
    if (!r.note.empty())
        m.note = r.note;
    if (!child.Running())
        m.note += " (it exited during the run; output: " + child.Output() + ")";
    child.Stop();
    if (SaysLost(child.Output())) {
        m.dropped = 1;
        m.note += " it said: " + child.Output();
    }
    WaitDisconnected(peer);
    return m;
}

// ---- The window in this process, its UI thread kept busy -------------------------------

// Drags the active key's curve without pause, in strokes of kStroke steps; each step is
// what one mouse move does (the edit, the curve redrawn) plus a synchronous repaint of the
// curve. Every kRefreshEvery steps the note display is refreshed as every table writer
// does, the keyboard is repainted from its image, and what the refresh asked to repaint
// (marks, labels, scroll bars) is painted at once. All on the UI thread from a
// zero-interval timer: while the load runs the thread is never idle, and a message waits
// at most for the step in progress.
class UiLoad {
public:
    static constexpr int kStroke = 100;
    static constexpr int kRefreshEvery = 8;

    explicit UiLoad(MainWindow& form) : form_(form) {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        dragMicros_.reserve(1u << 20);
        refreshMicros_.reserve(1u << 18);
        repaintMicros_.reserve(1u << 18);
    }
    void Start() {
        started_ = Clock::now();
        timer_.start();
    }
    void Stop() {
        timer_.stop();
        SendMouse(form_.ui().curveView, QEvent::MouseButtonRelease, 0, 0);
        stopped_ = Clock::now();
    }

    std::string Describe() const {
        const double seconds = std::chrono::duration<double>(stopped_ - started_).count();
        double busy = 0;
        for (const auto* v : {&dragMicros_, &refreshMicros_})
            for (const double t : *v)
                busy += t;
        const auto times = [](const std::vector<double>& v) {
            const Percentiles p = Summarize(v);
            return "p50 " + Fixed(p.p50 / 1000.0, 2) + " / p99 " + Fixed(p.p99 / 1000.0, 2) +
                   " / max " + Fixed(p.max / 1000.0, 2) + " ms";
        };
        return "UI load: " + Fixed(static_cast<double>(dragMicros_.size()) / seconds, 0) +
               " drag steps/s (" + times(dragMicros_) + "), " +
               Fixed(static_cast<double>(refreshMicros_.size()) / seconds, 0) + " refreshes/s (" +
               times(refreshMicros_) + ", of which the repaint " + times(repaintMicros_) +
               "); UI thread " + Fixed(100.0 * busy / 1e6 / seconds, 0) + "% busy with them";
    }

private:
    void Tick() {
        auto t0 = Clock::now();
        CurveView* view = form_.ui().curveView;
        const auto w = static_cast<float>(view->ScaleWidth());
        const auto h = static_cast<float>(view->ScaleHeight());
        const int s = step_++;
        if (s % kStroke == 0) {
            SendMouse(form_.ui().curveView, QEvent::MouseButtonRelease, 0, 0);
            SendMouse(view, QEvent::MouseButtonPress, w * 0.5f, h * 0.6f);
        }
        const float f = 0.1f + 0.8f * static_cast<float>(s % kStroke) / kStroke;
        SendMouse(view, QEvent::MouseMove, w * f, h * (1.0f - 0.9f * f));
        view->repaint();
        auto t1 = Clock::now();
        dragMicros_.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        if (s % kRefreshEvery == 0) {
            form_.Refresh();
            const auto t2 = Clock::now();
            form_.ui().keyboardView->repaint();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
            const auto t3 = Clock::now();
            refreshMicros_.push_back(std::chrono::duration<double, std::micro>(t3 - t1).count());
            repaintMicros_.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
        }
    }

    MainWindow& form_;
    QTimer timer_;
    int step_ = 0;
    std::vector<double> dragMicros_;
    std::vector<double> refreshMicros_;
    std::vector<double> repaintMicros_; // the repaint part of a refresh
    Clock::time_point started_{};
    Clock::time_point stopped_{};
};

// Blocks the UI thread outright: a timer whose callback sleeps `block` at a time, with
// `gap` for the event loop in between. A bench-only stand-in for a window that hangs (a
// slow disk, a modal system call) while music plays.
class UiBlocker {
public:
    UiBlocker(std::chrono::milliseconds block, std::chrono::milliseconds gap) : block_(block) {
        timer_.setInterval(gap);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    }
    void Start() {
        started_ = Clock::now();
        timer_.start();
    }
    void Stop() {
        timer_.stop();
        stopped_ = Clock::now();
    }
    std::string Describe() const {
        const double seconds = std::chrono::duration<double>(stopped_ - started_).count();
        const double blocked = std::chrono::duration<double>(blocked_).count();
        return "UI thread blocked " + std::to_string(count_) + " times for " +
               std::to_string(block_.count()) + " ms: " + Fixed(blocked, 1) + " s of " +
               Fixed(seconds, 1) + " s (" + Fixed(seconds > 0 ? 100.0 * blocked / seconds : 0, 0) +
               "%)";
    }

private:
    void Tick() {
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(block_);
        blocked_ += Clock::now() - t0;
        ++count_;
    }

    std::chrono::milliseconds block_;
    QTimer timer_;
    int count_ = 0;
    Clock::duration blocked_{};
    Clock::time_point started_{};
    Clock::time_point stopped_{};
};

// ---- SysEx -----------------------------------------------------------------------------

struct SysExRun {
    bool ran = false;
    std::string note;
    std::size_t count = 0;
    std::size_t length = 0;
    std::size_t maxEvent = 0; // what an empty JACK MIDI buffer takes
    std::size_t sent = 0;
    std::size_t arrived = 0;
    std::size_t whole = 0;  // right length and bytes, in order
    std::size_t broken = 0; // arrived, but not as sent (cut, pieces, other bytes)
    std::uint64_t others = 0;
    std::uint64_t overflow = 0;
    std::uint64_t refused = 0;
    std::uint64_t dropped = 0; // Velomire's own loss counters
    std::vector<double> frames;
    std::string blocked;

    bool Clean() const {
        return ran && sent == count && whole == count && broken == 0 && overflow == 0 &&
               dropped == 0;
    }
};

// Plays the SysEx peer's messages into the window's session, one per period, while the UI
// thread is blocked, and checks each that came back against what was sent.
SysExRun RunSysEx(MainWindow& form, const Options& o) {
    SysExRun r;
    r.count = static_cast<std::size_t>(o.sysex);
    r.length = static_cast<std::size_t>(o.sysexBytes);
    SysExPeer peer(kSysExPeerName, r.count, r.length);
    std::string error;
    if (!peer.Open(error)) {
        r.note = error;
        return r;
    }
    Session& session = form.session();
    session.ChooseOutput(peer.InPortName());
    session.ChooseInput(peer.OutPortName());
    if (!WaitConnected(peer, nullptr, std::chrono::seconds(10))) {
        r.note = "the window never connected to the SysEx peer";
        return r;
    }
    Pause(std::chrono::milliseconds(200));
    const std::uint64_t droppedBefore = Total(session.CountLosses());

    UiBlocker blocker(std::chrono::milliseconds(o.blockMs), std::chrono::milliseconds(20));
    blocker.Start();
    peer.Play();
    Clock::time_point allSent{};
    WaitFor(
        [&] {
            if (peer.SentCount() < r.count)
                return false;
            if (allSent == Clock::time_point{})
                allSent = Clock::now();
            return peer.ArrivedCount() >= r.count ||
                   Clock::now() - allSent > std::chrono::seconds(1);
        },
        std::chrono::seconds(30) + std::chrono::milliseconds(5 * r.count));
    blocker.Stop();
    r.blocked = blocker.Describe();

    r.maxEvent = peer.MaxEventSize();
    r.sent = peer.SentCount();
    r.arrived = peer.ArrivedCount();
    std::vector<std::uint8_t> expected(r.length);
    for (std::size_t i = 0; i < r.arrived; ++i) {
        const SysExPeer::Event e = peer.Arrived(i);
        peer.Fill(i, expected.data());
        if (e.size == r.length && std::memcmp(e.bytes, expected.data(), r.length) == 0) {
            ++r.whole;
            if (i < r.sent)
                r.frames.push_back(
                    static_cast<double>(static_cast<std::int32_t>(e.frame - peer.SentFrame(i))));
        } else {
            ++r.broken;
        }
    }
    r.others = peer.Others();
    r.overflow = peer.Overflow();
    r.refused = peer.SendRefused();
    r.dropped = Total(session.CountLosses()) - droppedBefore;
    r.ran = true;
    // Back to no devices before the peer goes, so the session does not look for it.
    session.ChooseInput({});
    session.ChooseOutput({});
    return r;
}

void PrintSysEx(const SysExRun& r, int run) {
    if (!r.ran) {
        std::printf("  SysEx                          run %d  not measured: %s\n", run,
                    r.note.c_str());
        std::fflush(stdout);
        return;
    }
    const Figures f = FiguresOf(r.frames);
    std::printf(
        "  SysEx, UI blocked              run %d  %zu of %zu bytes (a JACK MIDI buffer takes "
        "%zu): sent %zu, arrived %zu, whole %zu, broken %zu; latency p50/p99/max %s, "
        "spread %s frames; dropped %llu, others %llu, past the store %llu, not sent "
        "at once %llu\n",
        run, r.count, r.length, r.maxEvent, r.sent, r.arrived, r.whole, r.broken,
        FramesText(f.p).c_str(), Fixed(f.Spread(), 0).c_str(),
        static_cast<unsigned long long>(r.dropped), static_cast<unsigned long long>(r.others),
        static_cast<unsigned long long>(r.overflow), static_cast<unsigned long long>(r.refused));
    std::printf("    %s\n", r.blocked.c_str());
    if (!r.note.empty())
        std::printf("    %s\n", r.note.c_str());
    std::fflush(stdout);
}

// ---- The window in this process: idle, UI busy, UI blocked, SysEx -----------------------

struct InProcess {
    Latency idle;
    Latency busy;
    Latency blocked;
    std::string busyText;
    std::string blockedText;
    SysExRun sysex;
};

InProcess RunInProcess(const std::string& directory, ProbePeer& peer,
                       const std::vector<Probe>& warmup, const std::vector<Probe>& probes,
                       const MapFn& map, const Options& o) {
    InProcess r;
    r.idle.name = "window in process, UI idle";
    r.busy.name = "window in process, UI busy";
    r.blocked.name = "window in process, UI blocked";
    const auto fail = [&](const std::string& why) {
        r.idle.note = r.busy.note = r.blocked.note = r.sysex.note = why;
        return r;
    };
    const QString previous = QDir::currentPath();
    // Form_Load reads cfg/Default.vmc from the working directory.
    QDir::setCurrent(QString::fromStdString(directory));
    MidiSystemChoice midi = ChooseMidiSystem(MidiApiChoice::Jack);
    if (!midi.available) {
        QDir::setCurrent(previous);
        return fail(midi.status);
    }
    const auto* jack = dynamic_cast<const JackMidiSystem*>(midi.system.get());
    const std::function<std::uint64_t()> cycles = [jack] { return jack ? jack->Cycles() : 0; };
    SilentBoxes boxes;
    auto form = std::make_unique<MainWindow>(*midi.system, boxes);
    form->Start();
    form->show();
    QDir::setCurrent(previous);
    if (!WaitConnected(peer, nullptr, std::chrono::seconds(10)))
        return fail("the window never connected to the peer");
    Pause(std::chrono::milliseconds(300));
    Measure(peer, warmup, map, 2);

    Session& session = form->session();
    const auto measure = [&](Latency& into) {
        const std::string name = into.name;
        const std::string loadBefore = LoadAverage();
        const std::uint64_t droppedBefore = Total(session.CountLosses());
        into = Measure(peer, probes, map, o.gapPeriods, cycles);
        into.name = name;
        into.load = loadBefore + " -> " + LoadAverage();
        into.dropped = Total(session.CountLosses()) - droppedBefore;
    };
    measure(r.idle);

    UiLoad load(*form);
    load.Start();
    Pause(std::chrono::milliseconds(200));
    measure(r.busy);
    load.Stop();
    r.busyText = load.Describe();

    UiBlocker blocker(std::chrono::milliseconds(o.blockMs), std::chrono::milliseconds(20));
    blocker.Start();
    measure(r.blocked);
    blocker.Stop();
    r.blockedText = blocker.Describe();

    r.sysex = RunSysEx(*form, o);

    form.reset();
    return r;
}

// ---- Burst -----------------------------------------------------------------------------

struct Burst {
    bool ran = false;
    std::string note;
    int count = 0;
    unsigned perPeriod = 0;
    std::size_t received = 0;
    std::size_t mismatches = 0; // in-order comparison over what arrived
    long firstMismatch = -1;
    bool framesInOrder = true;
    bool saidLost = false;
    double wallMs = 0;
    double spanPeriods = 0;
    std::uint64_t peerLost = 0;
    std::uint64_t bufferFullPeriods = 0;

    bool Clean() const {
        return ran && received == static_cast<std::size_t>(count) && mismatches == 0 &&
               framesInOrder && peerLost == 0 && !saidLost;
    }
};

Burst RunBurst(const std::string& directory, const Options& o) {
    Burst b;
    b.count = o.burst;
    b.perPeriod = o.burstPerPeriod;
    e2e::JackPeer peer(kBurstPeerName);
    std::string error;
    if (!peer.Open(error)) {
        b.note = error;
        return b;
    }
    const SettingsData setting = BenchSetting(peer.OutPortName(), peer.InPortName());
    if (!WriteSetting(directory, "Default", setting, error)) {
        b.note = error;
        return b;
    }
    ChildProcess app;
    if (!app.Start({VELOMIRE_BINARY, "--midi-api", "jack"}, directory,
                   {"QT_QPA_PLATFORM=offscreen"}, error)) {
        b.note = error;
        return b;
    }
    if (!WaitConnected(peer, &app, std::chrono::seconds(20))) {
        b.note = "the window app never connected to the peer; its output:\n" + app.Output();
        return b;
    }
    std::printf("  %-34s ports %s\n", "window app (burst)", TargetPorts(peer).c_str());
    Pause(std::chrono::milliseconds(500));

    // Notes on and off and controllers on every channel, keys and values spread.
    std::mt19937 random(20240607);
    std::vector<Bytes> played, expected;
    for (int i = 0; i < o.burst; ++i) {
        const auto channel = static_cast<std::uint8_t>(random() % 16);
        const unsigned kind = random() % 100;
        Bytes m;
        if (kind < 45)
            m = {static_cast<std::uint8_t>(0x90 | channel),
                 static_cast<std::uint8_t>(kLowestKey + random() % 88),
                 static_cast<std::uint8_t>(1 + random() % 127)};
        else if (kind < 80)
            m = {static_cast<std::uint8_t>(0x80 | channel),
                 static_cast<std::uint8_t>(kLowestKey + random() % 88),
                 static_cast<std::uint8_t>(random() % 128)};
        else
            m = {static_cast<std::uint8_t>(0xB0 | channel),
                 static_cast<std::uint8_t>(random() % 120),
                 static_cast<std::uint8_t>(random() % 128)};
        played.push_back(m);
        expected.push_back(Mapped(setting, m));
    }

    const std::size_t start = peer.ReceivedCount();
    peer.SetMaxPerPeriod(o.burstPerPeriod);
    const auto t0 = Clock::now();
    for (const Bytes& m : played) {
        if (!peer.Send(m)) {
            b.note = "the peer's send queue is full";
            return b;
        }
    }
    std::size_t seen = 0;
    auto lastProgress = Clock::now();
    auto lastArrival = t0;
    WaitFor(
        [&] {
            const std::size_t now = peer.ReceivedCount() - start;
            if (now != seen) {
                seen = now;
                lastProgress = lastArrival = Clock::now();
            }
            return now >= played.size() || (peer.PendingSends() == 0 &&
                                            Clock::now() - lastProgress > std::chrono::seconds(2));
        },
        std::chrono::seconds(60));
    b.wallMs = std::chrono::duration<double, std::milli>(lastArrival - t0).count();

    const std::vector<Bytes> received = peer.ReceivedMessages(start);
    b.received = received.size();
    for (std::size_t i = 0; i < std::min(received.size(), expected.size()); ++i) {
        if (received[i] != expected[i]) {
            ++b.mismatches;
            if (b.firstMismatch < 0)
                b.firstMismatch = static_cast<long>(i);
        }
    }
    for (std::size_t i = start + 1; i < peer.ReceivedCount(); ++i)
        if (static_cast<std::int32_t>(peer.Received(i).frame - peer.Received(i - 1).frame) < 0)
            b.framesInOrder = false;
    if (!received.empty())
        b.spanPeriods =
            static_cast<double>(static_cast<std::int32_t>(
                peer.Received(peer.ReceivedCount() - 1).frame - peer.Received(start).frame)) /
                static_cast<double>(peer.BufferSize()) +
            1.0;
    b.peerLost = peer.Lost();
    b.bufferFullPeriods = peer.BufferFullPeriods();
    b.ran = true;
    if (!app.Running())
        b.note = "the window app exited during the burst; its output:\n" + app.Output();
    app.Stop();
    b.saidLost = SaysLost(app.Output());
    if (b.saidLost)
        b.note += "the window app said: " + app.Output();
    return b;
}

// ---- Summary ---------------------------------------------------------------------------

std::string Signed(double v) {
    return (v >= 0 ? "+" : "") + Fixed(v, 0);
}

std::string ModeFigure(const Mode& m) {
    const Figures f = m.Pooled();
    return FramesText(f.p) + " frames, spread " + Fixed(f.Spread(), 0) + ", lost " +
           std::to_string(m.Missing()) + " of " + std::to_string(m.Probes()) +
           (m.Timeouts() ? ", server timeouts " + std::to_string(m.Timeouts()) : std::string());
}

// Against the bare pass-through's pooled figures: p99 and max no higher, no spread, none
// lost.
void SummarizeMode(const std::string& what, const Mode& m, const Mode& bare,
                   const std::string& extraGoal = {}) {
    if (!m.AllRan() || !bare.AllRan()) {
        PrintSummaryRow(what, "not measured", "", "FAILED");
        return;
    }
    const Figures f = m.Pooled();
    const Figures b = bare.Pooled();
    std::string why;
    const auto add = [&](const std::string& s) { why += (why.empty() ? "" : ", ") + s; };
    if (f.p.p99 > b.p.p99)
        add("p99 " + Signed(f.p.p99 - b.p.p99));
    if (f.p.max > b.p.max)
        add("max " + Signed(f.p.max - b.p.max));
    if (f.Spread() > 0)
        add("spread " + Fixed(f.Spread(), 0));
    if (m.Missing() > 0)
        add(std::to_string(m.Missing()) + " lost");
    if (f.Spread() > 0)
        add(m.OffText());
    PrintSummaryRow(what, ModeFigure(m),
                    "p99, max <= bare (" + Fixed(b.p.p99, 0) + ", " + Fixed(b.p.max, 0) +
                        "); spread 0; none lost" + extraGoal,
                    why.empty() ? "met" : "MISSED (" + why + ")");
}

} // namespace

int main(int argc, char** argv) {
    e2e::IsolateJackState();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication app(argc, argv);
    const Options o = ParseOptions(argc, argv);

    e2e::JackServer server;
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "jack bench: %s\n", error.c_str());
        return 1;
    }
    g_server = &server;
    TempDir tmp;
    ProbePeer peer(kProbePeerName);
    if (!tmp.Valid() || !peer.Open(error)) {
        std::fprintf(stderr, "jack bench: %s\n", tmp.Valid() ? error.c_str() : "no temp dir");
        return 1;
    }
    std::printf("JACK server %s: dummy driver, 48000 Hz, %u-frame periods (%.2f ms), synchronous\n",
                server.Name().c_str(), peer.BufferSize(), 1000.0 * peer.BufferSize() / kRate);
    std::printf("%d runs per mode, modes taking turns; %d probes per run, one every %u periods at "
                "a random offset in its period; latency = arrival frame - send frame\n\n",
                o.runs, o.probes, o.gapPeriods);
    std::fflush(stdout);

    // Every probe of the run has its own slot in the peer: six modes take turns each run.
    if (static_cast<std::size_t>(o.runs) * 6 * static_cast<std::size_t>(o.probes + 2 * o.warmup) >
        ProbePeer::kCapacity) {
        std::fprintf(stderr, "jack bench: %d runs of %d probes do not fit the peer's %zu slots\n",
                     o.runs, o.probes, ProbePeer::kCapacity);
        return 2;
    }
    const SettingsData setting = BenchSetting(peer.OutPortName(), peer.InPortName());
    const std::string windowDir = tmp.Path() + "/window";
    const std::string headlessDir = tmp.Path() + "/headless";
    const std::string burstDir = tmp.Path() + "/burst";
    if (!WriteSetting(windowDir, "Default", setting, error) ||
        !WriteSetting(headlessDir, "Stage", setting, error)) {
        std::fprintf(stderr, "jack bench: %s\n", error.c_str());
        return 1;
    }
    const MapFn identity = [](const Bytes& b) { return b; };
    const MapFn mapped = [&](const Bytes& b) { return Mapped(setting, b); };

    std::mt19937 random(7);
    const std::vector<Probe> warmup = MakeProbes(o.warmup, random);

    Mode bare{"bare RtMidi pass-through", {}};
    Mode window{"window app (offscreen)", {}};
    Mode headless{"headless runner", {}};
    Mode idle{"window in process, UI idle", {}};
    Mode busy{"window in process, UI busy", {}};
    Mode blocked{"window in process, UI blocked", {}};
    std::vector<SysExRun> sysex;

    const std::string loadAtStart = LoadAverage();
    std::printf("Latency (frames; 64 frames = one period)\n");
    std::fflush(stdout);
    for (int run = 1; run <= o.runs; ++run) {
        // Fresh probes each run: new keys, velocities and offsets.
        const std::vector<Probe> probes = MakeProbes(o.probes, random);
        if (o.Runs("bare")) {
            bare.runs.push_back(
                RunChild({bare.name,
                          {VELOMIRE_BARE_PASSTHROUGH, peer.OutPortName(), peer.InPortName()},
                          tmp.Path(),
                          {}},
                         peer, warmup, probes, identity, o));
            PrintRun(bare.runs.back(), run, false);
        }
        if (o.Runs("window")) {
            window.runs.push_back(RunChild({window.name,
                                            {VELOMIRE_BINARY, "--midi-api", "jack"},
                                            windowDir,
                                            {"QT_QPA_PLATFORM=offscreen"}},
                                           peer, warmup, probes, mapped, o));
            PrintRun(window.runs.back(), run);
        }
        if (o.Runs("headless")) {
            headless.runs.push_back(
                RunChild({headless.name,
                          {VELOMIRE_BINARY, "--headless", "Stage", "--midi-api", "jack"},
                          headlessDir,
                          {}},
                         peer, warmup, probes, mapped, o));
            PrintRun(headless.runs.back(), run);
        }
        if (o.Runs("inprocess")) {
            InProcess in = RunInProcess(windowDir, peer, warmup, probes, mapped, o);
            idle.runs.push_back(std::move(in.idle));
            PrintRun(idle.runs.back(), run);
            busy.runs.push_back(std::move(in.busy));
            PrintRun(busy.runs.back(), run);
            if (!in.busyText.empty())
                std::printf("    %s\n", in.busyText.c_str());
            blocked.runs.push_back(std::move(in.blocked));
            PrintRun(blocked.runs.back(), run);
            if (!in.blockedText.empty())
                std::printf("    %s\n", in.blockedText.c_str());
            sysex.push_back(std::move(in.sysex));
            PrintSysEx(sysex.back(), run);
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    std::printf("Pooled over %d runs (p50/p99/max, min, spread in frames):\n", o.runs);
    for (const Mode* m : {&bare, &window, &headless, &idle, &busy, &blocked}) {
        const Figures f = m->Pooled();
        std::printf("  %-30s %s, min %s, spread %s (per run: %s); lost %zu of %zu\n",
                    m->name.c_str(), FramesText(f.p).c_str(), Fixed(f.min, 0).c_str(),
                    Fixed(f.Spread(), 0).c_str(), m->Spreads().c_str(), m->Missing(), m->Probes());
    }
    std::printf("\n");

    std::printf("Burst: %d notes and controllers, %s per period, through the window app\n", o.burst,
                o.burstPerPeriod ? std::to_string(o.burstPerPeriod).c_str()
                                 : "as many as the port buffer takes");
    std::fflush(stdout);
    const Burst burst = o.Runs("burst") ? RunBurst(burstDir, o) : Burst{};
    if (burst.ran) {
        std::printf("  received %zu of %d, %zu differ from the mapping in order (first at %ld), "
                    "frames %s\n",
                    burst.received, burst.count, burst.mismatches, burst.firstMismatch,
                    burst.framesInOrder ? "in order" : "OUT OF ORDER");
        std::printf("  %.1f ms from the first send to the last arrival (%.0f messages/s); "
                    "arrivals spread over %.0f periods\n",
                    burst.wallMs, burst.received / (burst.wallMs / 1000.0), burst.spanPeriods);
        std::printf("  peer: %llu lost on receipt, %llu periods with a full send buffer\n",
                    static_cast<unsigned long long>(burst.peerLost),
                    static_cast<unsigned long long>(burst.bufferFullPeriods));
    }
    if (!burst.note.empty())
        std::printf("  %s\n", burst.note.c_str());
    std::printf("\n");

    // ---- Rows ----
    const Figures b = bare.Pooled();
    PrintSummaryRow("1 Latency p50/p99/max, bare RtMidi pass-through",
                    bare.AllRan() ? ModeFigure(bare) : "not measured", "(floor)", "");
    SummarizeMode("1 Plain, window app", window, bare);
    SummarizeMode("1 Plain, headless runner", headless, bare);
    SummarizeMode("1 Plain, window in process (UI idle)", idle, bare);
    {
        std::string figure;
        bool met = true;
        const std::pair<const char*, const Mode*> shown[] = {{"window app", &window},
                                                             {"headless", &headless},
                                                             {"in process", &idle},
                                                             {"UI busy", &busy},
                                                             {"UI blocked", &blocked}};
        std::string why;
        for (const auto& [name, m] : shown) {
            const Figures f = m->Pooled();
            met = met && m->AllRan() && f.Spread() == 0;
            figure += (figure.empty() ? "" : ", ") + std::string(name) + " " +
                      (m->AllRan() ? Fixed(f.Spread(), 0) : std::string("?"));
            if (m->AllRan() && f.Spread() > 0)
                why += (why.empty() ? "" : "; ") + std::string(name) + ": " + m->OffText();
        }
        PrintSummaryRow("2 Spread (max - min) at random offsets in the period",
                        figure + "; bare " + Fixed(b.Spread(), 0) + " frames",
                        "0 frames (bare: for comparison)",
                        met ? "met" : "MISSED" + (why.empty() ? "" : " (" + why + ")"));
    }
    SummarizeMode("3 UI busy (curve drags, display refreshes)", busy, bare);
    SummarizeMode("4 UI blocked " + std::to_string(o.blockMs) + " ms at a time", blocked, bare);
    if (burst.ran) {
        const std::size_t lost = burst.received < static_cast<std::size_t>(burst.count)
                                     ? burst.count - burst.received
                                     : 0;
        PrintSummaryRow("5 Burst " + std::to_string(burst.count) +
                            (o.burstPerPeriod ? " at " + std::to_string(burst.perPeriod) + "/period"
                                              : ", full buffers"),
                        std::to_string(burst.received) + " arrived, lost " + std::to_string(lost) +
                            ", wrong " + std::to_string(burst.mismatches) + ", " +
                            (burst.framesInOrder ? "in order, " : "OUT OF ORDER, ") +
                            Fixed(burst.wallMs, 0) + " ms (" + Fixed(burst.spanPeriods, 0) +
                            " periods)",
                        "all, in order, mapped", burst.Clean() ? "met" : "MISSED");
    } else {
        PrintSummaryRow("5 Burst", "not measured", "all, in order, mapped", "FAILED");
    }
    {
        std::size_t count = 0, whole = 0, broken = 0;
        std::uint64_t dropped = 0;
        std::vector<double> frames;
        bool clean = !sysex.empty();
        for (const SysExRun& s : sysex) {
            count += s.count;
            whole += s.whole;
            broken += s.broken;
            dropped += s.dropped;
            frames.insert(frames.end(), s.frames.begin(), s.frames.end());
            clean = clean && s.Clean();
        }
        const Figures f = FiguresOf(frames);
        PrintSummaryRow("6 SysEx " + std::to_string(o.sysex) + " x " +
                            std::to_string(o.sysexBytes) + " bytes, one per period, UI blocked",
                        std::to_string(whole) + " of " + std::to_string(count) + " whole, " +
                            std::to_string(broken) + " broken, " + std::to_string(dropped) +
                            " dropped (" + std::to_string(sysex.size()) + " runs); latency " +
                            FramesText(f.p) + ", spread " + Fixed(f.Spread(), 0),
                        "all delivered whole", clean ? "met" : "MISSED");
    }
    PrintSummaryRow("Resident memory 2 s after start, headless",
                    MemoryText(headless.runs.empty() ? Memory{} : headless.runs[0].memory), "", "");
    PrintSummaryRow("Same, window app (offscreen)",
                    MemoryText(window.runs.empty() ? Memory{} : window.runs[0].memory), "", "");
    PrintSummaryRow("Same, bare pass-through",
                    MemoryText(bare.runs.empty() ? Memory{} : bare.runs[0].memory), "", "");
    PrintSummaryRow("Load average (1 min) during the JACK stages",
                    loadAtStart + " -> " + LoadAverage() + " on " +
                        std::to_string(std::thread::hardware_concurrency()) + " CPUs",
                    "", "");
    peer.Close();
    server.Stop();
    return 0;
}
