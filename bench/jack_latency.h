#pragma once
// Playing probes through a target and reading what came back: one run's latencies, a
// mode's runs pooled, and the rows that hold each mode against the bare pass-through.
#include "jack_bench_support.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace velomire::bench::jackbench {

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
    std::size_t xrunsSending = 0; // xruns the server announced while the probes played
    long xrunsLife = -1;          // from the target's client appearing to its close; -1: unknown
    std::string xrunLog;          // what the server's log says over the target's life
    // Page faults of the target's real-time threads: once connected, then during the
    // warm-up and during the probes; -1: unknown.
    long faultsConnected = -1;
    long faultsWarmUp = -1;
    long faultsSending = -1;
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

Figures FiguresOf(const std::vector<double>& values);
// "p50 / p99 / max"
std::string FramesText(const Percentiles& p);

// Plays the probes, one every `gap` periods, and matches what came back against `map` of
// each. targetCycles: the periods Velomire has run, where it runs in this process.
Latency Measure(ProbePeer& peer, const std::vector<Probe>& probes, const MapFn& map, unsigned gap,
                const std::function<std::uint64_t()>& targetCycles = {});

// showOdd: for modes whose latency should not vary.
void PrintRun(const Latency& r, int run, bool showOdd = true);

// One mode's runs, pooled.
struct Mode {
    std::string name;
    std::vector<Latency> runs;

    bool AllRan() const;
    Figures Pooled() const;
    std::size_t Missing() const;
    // Probes off the pooled median latency, and how many of them came in runs where the
    // server stopped waiting for a client: such a cycle holds up every client.
    std::string OffText() const;
    std::size_t Timeouts() const;
    std::size_t Probes() const;
    std::string Spreads() const;
    // Adds a run under this mode's name and prints it.
    void Record(Latency run, int number, bool showOdd = true);
};

struct LatencyModes {
    Mode bare{"bare RtMidi pass-through", {}};
    Mode window{"window app (offscreen)", {}};
    Mode headless{"headless runner", {}};
    Mode idle{"window in process, UI idle", {}};
    Mode busy{"window in process, UI busy", {}};
    Mode blocked{"window in process, UI blocked", {}};
    // Xruns of each run with no target, the server and the peer alone, for as long as a
    // run's probes play: the machine's own, the floor under every mode's count.
    std::vector<long> alone;
    double aloneSeconds = 0;
};

// Every mode's runs pooled, one line each.
void PrintPooled(const LatencyModes& m, int runs);
// Rows 1 to 4: each mode against the bare pass-through, and the spread of them all.
void PrintLatencyRows(const LatencyModes& m, int blockMs);
// Xruns of each mode's runs against the bare pass-through's in the same run.
void PrintXRunRows(const LatencyModes& m);

// Xruns over a target's life: from the first client whose name begins with `prefix`,
// registered at or after `since`, to the last of them gone; waits for them to go. The
// server's log is read from `logMark` on. `phases` split the life where each begins (the
// one before the first is "activation"), to show when the xruns came.
struct Life {
    long xruns = -1;
    std::string log;
};
using Phases = std::vector<std::pair<std::string, ProbePeer::Time>>;
Life XRunsOverLife(const ProbePeer& peer, const std::string& prefix, ProbePeer::Time since,
                   std::size_t logMark, const Phases& phases);

} // namespace velomire::bench::jackbench
