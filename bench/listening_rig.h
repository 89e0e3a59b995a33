#pragma once

#include "bench_support.h"
#include "core/listening/loudness_table.h"
#include "core/midi/rtmidi_backend.h"
#include "e2e/jack_harness.h"
#include "session/listening.h"
#include "session/session.h"

#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velomire::bench {

// FluidSynth on a private JACK server (dummy driver, 48 kHz, 64 frames) and a session whose
// output plays it; what the benches that listen to a real synth share.
class FluidRig {
public:
    static constexpr const char* kSynthMidiIn = "fluidsynth-midi:midi_00";
    static constexpr const char* kSynthLeft = "fluidsynth-midi:left";

    // Empty when the server, FluidSynth (with `soundfont`) and the session's output are up;
    // else why not. The listening input is opened, not connected.
    std::string Start(const std::string& soundfont);
    ~FluidRig();

    Session& session() { return *session_; }
    Listening& listening() { return session_->listening(); }

private:
    e2e::JackServer server_;
    QTemporaryDir folder_;
    ChildProcess fluid_;
    MidiSystemChoice midi_;
    std::unique_ptr<Session> session_;
};

struct RunResult {
    LoudnessTable table;
    double seconds = 0;
    QString said;
};

// Runs the event loop until `done` or the limit; false at the limit.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

// One measuring run to its end (through `velocityMap` when given); nothing when it did not
// start, failed or did not end in time, with a line saying so.
std::optional<RunResult> Measure(Listening& listening, const MeasuringPlan& plan,
                                 std::function<int(int, int)> velocityMap = {});

// Linear interpolation between order statistics; NaN for none.
double Percentile(std::vector<double> v, double p);

// Per velocity of a table, each sounding key's |deviation| from the median key, pooled;
// `keys` limits it to those keys when not empty.
std::vector<double> Deviations(const LoudnessTable& t, const std::vector<int>& keys = {});

} // namespace velomire::bench
