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
// Xruns: the server calls every client's xrun callback for each one, and the peer stamps
// them. A target's are counted from its client's appearing to its close (split by phase)
// and while its probes play, against the bare pass-through's in the same run; each run
// also counts the machine's own, with no target at all.
// Prints its figures, then SUMMARY rows for bench.sh. Each mode is in a jack_mode_*.cpp of
// its own; what they share is in jack_bench_support, jack_latency and jack_ui_load.
#include "jack_modes.h"

#include <QApplication>

#include <cstdio>
#include <random>
#include <thread>

using namespace velomire;
using namespace velomire::bench;
using namespace velomire::bench::jackbench;

namespace {

constexpr const char* kProbePeerName = "vbench";

void PrintMemoryAndLoadRows(const LatencyModes& m, const std::string& loadAtStart) {
    const auto first = [](const Mode& mode) {
        return MemoryText(mode.runs.empty() ? Memory{} : mode.runs[0].memory);
    };
    PrintSummaryRow("Resident memory 2 s after start, headless", first(m.headless), "", "");
    PrintSummaryRow("Same, window app (offscreen)", first(m.window), "", "");
    PrintSummaryRow("Same, bare pass-through", first(m.bare), "", "");
    PrintSummaryRow("Load average (1 min) during the JACK stages",
                    loadAtStart + " -> " + LoadAverage() + " on " +
                        std::to_string(std::thread::hardware_concurrency()) + " CPUs",
                    "", "");
}

// The server and the peer alone for as long as a run's probes play: the xruns the machine
// makes without any target.
long XRunsAlone(const ProbePeer& peer, const Options& o, double& seconds) {
    seconds = static_cast<double>(peer.BufferSize()) / kRate * o.gapPeriods * o.probes;
    const ProbePeer::Time from = Clock::now();
    Pause(std::chrono::milliseconds(static_cast<long>(1000 * seconds)));
    return static_cast<long>(peer.XRunsBetween(from, Clock::now()));
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
    WatchServer(&server);
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
    std::mt19937 random(7);
    const Rig rig{o,
                  peer,
                  tmp.Path(),
                  tmp.Path() + "/window",
                  tmp.Path() + "/headless",
                  [](const Bytes& b) { return b; },
                  [&](const Bytes& b) { return Mapped(setting, b); },
                  MakeProbes(o.warmup, random)};
    if (!WriteSetting(rig.windowDir, "Default", setting, error) ||
        !WriteSetting(rig.headlessDir, "Stage", setting, error)) {
        std::fprintf(stderr, "jack bench: %s\n", error.c_str());
        return 1;
    }

    LatencyModes modes;
    std::vector<SysExRun> sysex;
    const std::string loadAtStart = LoadAverage();
    std::printf("Latency (frames; 64 frames = one period)\n");
    std::fflush(stdout);
    for (int run = 1; run <= o.runs; ++run) {
        // Fresh probes each run: new keys, velocities and offsets.
        const std::vector<Probe> probes = MakeProbes(o.probes, random);
        if (o.Runs("alone")) {
            modes.alone.push_back(XRunsAlone(peer, o, modes.aloneSeconds));
            std::printf("  %-30s run %d  xruns %ld in %.1f s (no target: the machine's own)\n",
                        "server and peer alone", run, modes.alone.back(), modes.aloneSeconds);
            std::fflush(stdout);
        }
        if (o.Runs("bare"))
            modes.bare.Record(RunBare(rig, probes), run, false);
        if (o.Runs("window"))
            modes.window.Record(RunWindowApp(rig, probes), run);
        if (o.Runs("headless"))
            modes.headless.Record(RunHeadless(rig, probes), run);
        if (o.Runs("inprocess"))
            RunInProcess(rig, probes, run, modes, sysex);
        std::printf("\n");
        std::fflush(stdout);
    }
    PrintPooled(modes, o.runs);

    PrintBurstHeading(o);
    const Burst burst = o.Runs("burst") ? RunBurst(tmp.Path() + "/burst", o) : Burst{};
    PrintBurst(burst);

    PrintLatencyRows(modes, o.blockMs);
    PrintXRunRows(modes);
    PrintBurstRow(burst, o);
    PrintSysExRow(sysex, o);
    PrintMemoryAndLoadRows(modes, loadAtStart);
    peer.Close();
    server.Stop();
    return 0;
}
