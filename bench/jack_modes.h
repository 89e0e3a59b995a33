#pragma once
// The modes of the JACK latency bench, each in a file of its own; main picks them.
#include "jack_latency.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velomire {
class MainWindow;
}

namespace velomire::bench::jackbench {

// ---- Programs started for the run (jack_mode_child.cpp) --------------------------------
// Each is started wired to the peer, warmed up, measured and stopped.

// The floor for this transport: RtMidi receiving and sending on, nothing else.
Latency RunBare(const Rig& rig, const std::vector<Probe>& probes);
// The window app, offscreen, its ports chosen by its Default setting.
Latency RunWindowApp(const Rig& rig, const std::vector<Probe>& probes);
// The headless runner on its Stage setting.
Latency RunHeadless(const Rig& rig, const std::vector<Probe>& probes);

// ---- Long SysEx through the window in this process (jack_mode_sysex.cpp) ---------------

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
SysExRun RunSysEx(MainWindow& form, const Options& o);
void PrintSysEx(const SysExRun& r, int run);
// Row 6, over all runs.
void PrintSysExRow(const std::vector<SysExRun>& runs, const Options& o);

// ---- The window in this process (jack_mode_inprocess.cpp) -------------------------------

// One round of the window built in this process: UI idle, UI busy, UI blocked, then SysEx.
// Adds each to its mode and prints it.
void RunInProcess(const Rig& rig, const std::vector<Probe>& probes, int run, LatencyModes& modes,
                  std::vector<SysExRun>& sysex);

// ---- A burst through the window app (jack_mode_burst.cpp) -------------------------------

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

void PrintBurstHeading(const Options& o);
// Notes and controllers on every channel, as fast as the ports take them, through the
// window app started in `directory` with a peer of its own.
Burst RunBurst(const std::string& directory, const Options& o);
void PrintBurst(const Burst& b);
// Row 5.
void PrintBurstRow(const Burst& b, const Options& o);

} // namespace velomire::bench::jackbench
