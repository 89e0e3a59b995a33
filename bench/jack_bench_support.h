#pragma once
// What every mode of the JACK latency bench shares: its options, the probe peer and the
// settings it plays against, the mapping a message must come back with, waiting on the
// event loop, and what the server and the machine say about a run.
#include "bench_support.h"
#include "core/midi/realtime_engine.h"
#include "e2e/jack_harness.h"
#include "probe_peer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace velomire::bench::jackbench {

using e2e::Bytes;

inline constexpr double kRate = 48000.0;

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
    // Which stages run, by name: alone (no target), bare, window, headless, inprocess, burst
    // (all by default).
    std::string modes = "alone,bare,window,headless,inprocess,burst";
    bool Runs(const char* mode) const { return modes.find(mode) != std::string::npos; }
};

Options ParseOptions(int argc, char** argv);

// What a note or controller message must leave as under the setting: the key's curve and
// output note, the channel table. Tables never change during a run, so a note's end goes
// where any fresh end would.
Bytes Mapped(const SettingsData& s, const Bytes& in);

using MapFn = std::function<Bytes(const Bytes&)>;

// Note-on then note-off on the same key and channel, keys and velocities spread, each at
// its own frame offset in its period. The same list goes to every target.
std::vector<Probe> MakeProbes(int count, std::mt19937& random);

// What the latency modes play against, made once by main: the peer, the folders holding
// the setting the real binary loads (cfg/Default.vmc for the window, cfg/Stage.vmc for the
// headless runner), that setting's mapping and the warm-up probes.
struct Rig {
    const Options& options;
    ProbePeer& peer;
    std::string directory;
    std::string windowDir;
    std::string headlessDir;
    MapFn identity;
    MapFn mapped;
    std::vector<Probe> warmup;
};

// ---- Waiting ---------------------------------------------------------------------------

// Runs this thread's event loop until done() or the timeout: the in-process window needs
// its events, and for the other stages it costs nothing.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
void Pause(std::chrono::milliseconds length);

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

// ---- What a run leaves behind ----------------------------------------------------------

// Lines a Velomire child prints when it has lost MIDI data.
bool SaysLost(const std::string& output);

std::uint64_t Total(const RealtimeEngine::Losses& l);

// The server whose log ServerTimeouts reads; null for none.
void WatchServer(const e2e::JackServer* server);

// Cycles in which the server stopped waiting for its clients, from its log: in sync mode a
// client held up well past its cycle (a 30 ms stall does it here, 12 ms does not) is left
// behind ("SuspendRefNum error"), and a message it carried leaves a period late through no
// fault of its own code. (The dummy driver's "XRun" lines only say that a cycle began late
// on the wall clock; frame times still advance by one period per cycle.)
std::size_t ServerTimeouts();

// What the server's log says about xruns after a mark (ServerLogMark): cycles that began
// past their time on the wall clock (the dummy driver's "XRun"; in sync mode a cycle that
// waited for a late client ends late too), and clients it found unfinished, by name.
struct LogXRuns {
    std::size_t late = 0;
    std::size_t unfinished = 0;
    std::string names; // "Velomire x2, bare x1"
    std::string Text() const;
};
std::size_t ServerLogMark();
LogXRuns ServerXRunsSince(std::size_t mark);

// Page faults the real-time threads (SCHED_FIFO or SCHED_RR: JACK's process threads) of a
// process have taken, all of them together but `skip`; -1 when it has none.
long RealtimeThreadFaults(pid_t pid, pid_t skip = 0);

// Time the hypervisor kept this machine's CPUs from running it (steal), in ms, all CPUs
// together; 0 on bare metal. A stall of more than a dozen milliseconds holds up every JACK
// client at once, whatever its priority.
double StealMs();

} // namespace velomire::bench::jackbench
