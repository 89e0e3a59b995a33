// The targets run as programs of their own: the bare RtMidi pass-through, the window app
// and the headless runner. They differ only in what is started, and where.
#include "jack_modes.h"

namespace velomire::bench::jackbench {

namespace {

struct Target {
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
    const Latency warm = Measure(peer, rig.warmup, map, 2);
    if (!warm.Clean())
        r.note = "warm-up: lost " + std::to_string(warm.lost) + ", unexpected " +
                 std::to_string(warm.unexpected);
    const std::string loadBefore = LoadAverage();
    Latency m = Measure(peer, probes, map, rig.options.gapPeriods);
    m.load = loadBefore + " -> " + LoadAverage();
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

} // namespace

Latency RunBare(const Rig& rig, const std::vector<Probe>& probes) {
    return RunChild({{VELOMIRE_BARE_PASSTHROUGH, rig.peer.OutPortName(), rig.peer.InPortName()},
                     rig.directory,
                     {}},
                    rig, probes, rig.identity);
}

Latency RunWindowApp(const Rig& rig, const std::vector<Probe>& probes) {
    return RunChild(
        {{VELOMIRE_BINARY, "--midi-api", "jack"}, rig.windowDir, {"QT_QPA_PLATFORM=offscreen"}},
        rig, probes, rig.mapped);
}

Latency RunHeadless(const Rig& rig, const std::vector<Probe>& probes) {
    return RunChild(
        {{VELOMIRE_BINARY, "--headless", "Stage", "--midi-api", "jack"}, rig.headlessDir, {}}, rig,
        probes, rig.mapped);
}

} // namespace velomire::bench::jackbench
