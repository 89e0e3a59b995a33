// The targets run as programs of their own: the bare RtMidi pass-through, the window app
// and the headless runner. They differ only in what is started, and where.
#include "jack_modes.h"

namespace velomire::bench::jackbench {

namespace {

struct Target {
    std::string client; // the prefix of its JACK clients' names
    std::vector<std::string> argv;
    std::string directory;
    std::vector<std::string> environment;
};

// Starts a target wired to the peer by its setting (or its arguments), lets it settle,
// reads its memory two seconds after exec, warms up, then measures.
Latency RunChild(const Target& t, const Rig& rig, const std::vector<Probe>& probes,
                 const MapFn& map) {
    ProbePeer& peer = rig.peer;
    Latency r;
    ChildProcess child;
    std::string error;
    const ProbePeer::Time since = Clock::now();
    const std::size_t logMark = ServerLogMark();
    if (!child.Start(t.argv, t.directory, t.environment, error)) {
        r.note = error;
        return r;
    }
    if (!WaitConnected(peer, &child, std::chrono::seconds(20))) {
        r.note = "it never connected to the peer; its output:\n" + child.Output();
        return r;
    }
    Phases phases = {{"connected", Clock::now()}};
    const long faultsConnected = RealtimeThreadFaults(child.Pid());
    WaitFor([&] { return Clock::now() - child.Started() >= std::chrono::seconds(2); },
            std::chrono::seconds(3));
    r.memory = ReadMemory(child.Pid());
    const long faultsBeforeWarmUp = RealtimeThreadFaults(child.Pid());
    phases.emplace_back("warm-up", Clock::now());
    const Latency warm = Measure(peer, rig.warmup, map, 2);
    const long faultsBeforeProbes = RealtimeThreadFaults(child.Pid());
    if (!warm.Clean())
        r.note = "warm-up: lost " + std::to_string(warm.lost) + ", unexpected " +
                 std::to_string(warm.unexpected);
    const std::string loadBefore = LoadAverage();
    phases.emplace_back("probes", Clock::now());
    Latency m = Measure(peer, probes, map, rig.options.gapPeriods);
    phases.emplace_back("after", Clock::now());
    m.load = loadBefore + " -> " + LoadAverage();
    m.memory = r.memory;
    if (faultsConnected >= 0) {
        m.faultsConnected = faultsConnected;
        m.faultsWarmUp = faultsBeforeProbes - faultsBeforeWarmUp;
        m.faultsSending = RealtimeThreadFaults(child.Pid()) - faultsBeforeProbes;
    }
    if (!r.note.empty())
        m.note = r.note;
    if (!child.Running())
        m.note += " (it exited during the run; output: " + child.Output() + ")";
    phases.emplace_back("close", Clock::now());
    child.Stop();
    if (SaysLost(child.Output())) {
        m.dropped = 1;
        m.note += " it said: " + child.Output();
    }
    WaitDisconnected(peer);
    const Life life = XRunsOverLife(peer, t.client, since, logMark, phases);
    m.xrunsLife = life.xruns;
    m.xrunLog = life.log;
    return m;
}

} // namespace

Latency RunBare(const Rig& rig, const std::vector<Probe>& probes) {
    return RunChild({"bare",
                     {VELOMIRE_BARE_PASSTHROUGH, rig.peer.OutPortName(), rig.peer.InPortName()},
                     rig.directory,
                     {}},
                    rig, probes, rig.identity);
}

Latency RunWindowApp(const Rig& rig, const std::vector<Probe>& probes) {
    return RunChild({kClientName,
                     {VELOMIRE_BINARY, "--midi-api", "jack"},
                     rig.windowDir,
                     {"QT_QPA_PLATFORM=offscreen"}},
                    rig, probes, rig.mapped);
}

Latency RunHeadless(const Rig& rig, const std::vector<Probe>& probes) {
    return RunChild({kClientName,
                     {VELOMIRE_BINARY, "--headless", "Stage", "--midi-api", "jack"},
                     rig.headlessDir,
                     {}},
                    rig, probes, rig.mapped);
}

} // namespace velomire::bench::jackbench
