// The window built in this process, on JACK, its ports chosen by its Default setting: once
// with its UI thread idle, once kept busy by curve drags and display refreshes, once
// blocked outright; then long SysEx while blocked. Here its own loss counters and periods
// run can be read.
#include "core/midi/jack_midi.h"
#include "core/midi/rtmidi_backend.h"
#include "jack_modes.h"
#include "jack_ui_load.h"
#include "silent_boxes.h"
#include "ui/main_window.h"

#include <QDir>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace velomire::bench::jackbench {

namespace {

struct InProcess {
    Latency idle;
    Latency busy;
    Latency blocked;
    std::string busyText;
    std::string blockedText;
    SysExRun sysex;
};

InProcess Run(const Rig& rig, const std::vector<Probe>& probes) {
    const Options& o = rig.options;
    ProbePeer& peer = rig.peer;
    InProcess r;
    const auto fail = [&](const std::string& why) {
        r.idle.note = r.busy.note = r.blocked.note = r.sysex.note = why;
        return r;
    };
    const ProbePeer::Time since = Clock::now();
    const std::size_t logMark = ServerLogMark();
    const QString previous = QDir::currentPath();
    // Form_Load reads cfg/Default.vmc from the working directory.
    QDir::setCurrent(QString::fromStdString(rig.windowDir));
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
    // Velomire's process thread: the real-time one of this process that is not the peer's.
    Phases phases = {{"connected", Clock::now()}};
    const auto faults = [&] { return RealtimeThreadFaults(::getpid(), peer.ProcessThread()); };
    const long faultsConnected = faults();
    Pause(std::chrono::milliseconds(300));
    const long faultsBeforeWarmUp = faults();
    phases.emplace_back("warm-up", Clock::now());
    Measure(peer, rig.warmup, rig.mapped, 2);
    long faultsWarmUp = faults() - faultsBeforeWarmUp;

    Session& session = form->session();
    const auto measure = [&](Latency& into, const char* phase) {
        phases.emplace_back(phase, Clock::now());
        const std::string loadBefore = LoadAverage();
        const std::uint64_t droppedBefore = Total(session.CountLosses());
        const long faultsBefore = faults();
        into = Measure(peer, probes, rig.mapped, o.gapPeriods, cycles);
        into.load = loadBefore + " -> " + LoadAverage();
        into.dropped = Total(session.CountLosses()) - droppedBefore;
        into.faultsConnected = faultsConnected;
        into.faultsWarmUp = std::exchange(faultsWarmUp, 0);
        into.faultsSending = faults() - faultsBefore;
        phases.emplace_back("between", Clock::now());
    };
    measure(r.idle, "idle");

    UiLoad load(*form);
    load.Start();
    Pause(std::chrono::milliseconds(200));
    measure(r.busy, "busy");
    load.Stop();
    r.busyText = load.Describe();

    UiBlocker blocker(std::chrono::milliseconds(o.blockMs), std::chrono::milliseconds(20));
    blocker.Start();
    measure(r.blocked, "blocked");
    blocker.Stop();
    r.blockedText = blocker.Describe();

    phases.emplace_back("sysex", Clock::now());
    r.sysex = RunSysEx(*form, o);

    phases.emplace_back("close", Clock::now());
    form.reset();
    midi.system.reset();
    // One life for the whole round, each of its modes counted against it.
    const Life life = XRunsOverLife(peer, kClientName, since, logMark, phases);
    for (Latency* l : {&r.idle, &r.busy, &r.blocked}) {
        l->xrunsLife = life.xruns;
        l->xrunLog = life.log;
    }
    return r;
}

} // namespace

void RunInProcess(const Rig& rig, const std::vector<Probe>& probes, int run, LatencyModes& modes,
                  std::vector<SysExRun>& sysex) {
    InProcess in = Run(rig, probes);
    modes.idle.Record(std::move(in.idle), run);
    modes.busy.Record(std::move(in.busy), run);
    if (!in.busyText.empty())
        std::printf("    %s\n", in.busyText.c_str());
    modes.blocked.Record(std::move(in.blocked), run);
    if (!in.blockedText.empty())
        std::printf("    %s\n", in.blockedText.c_str());
    sysex.push_back(std::move(in.sysex));
    PrintSysEx(sysex.back(), run);
}

} // namespace velomire::bench::jackbench
