// How soon a stop signal ends what sounds. Velomire takes SIGTERM, SIGINT, SIGHUP, SIGUSR1,
// SIGUSR2 and SIGALRM on a thread of its own, which has the MIDI side send the note-offs,
// lift the pedals and send All Notes Off whatever the UI thread is doing; the goal is all of
// it out within 100 ms of the signal. Three ways Velomire runs, taking turns round by round
// so that a busy spell on the shared machine falls on all:
//   - the window on a private Xvfb, frozen with SIGSTOP just before the signal: the UI
//     thread cannot draw, and its shutdown cannot reach the display;
//   - the window offscreen, its UI idle;
//   - the stage box (--headless).
// Each round starts Velomire on a private JACK server (dummy driver, 48 kHz, 64 frames),
// waits for Local Control Off, holds three notes on two channels with the sustain pedal
// down on both and sostenuto on one, then sends the next of the six signals.
//
// One clock, JACK's (jack_get_time, the host's monotonic clock in µs): the latency runs
// from just before kill() to the time the peer's process callback read in the period that
// took the last message of the release, an upper bound on when it arrived. Beside it, only
// as a check, the frame time of that period (jack_frames_to_time of the frame the peer
// stamped, mapped as soon as the release is whole): on the dummy driver it was seen tens of
// ms off either way, even after the callback that took the message, so no figure rests on
// it. The time to the process's end is on the same clock, polled every millisecond. Prints
// per mode p50 / p95 / max, then SUMMARY rows for bench.sh.
#include "bench_support.h"
#include "e2e/jack_harness.h"
#include "support/test_helpers.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace velomire;
using namespace velomire::bench;
using velomire::e2e::Bytes;

namespace {

constexpr const char* kPeerName = "vstop";
constexpr double kGoalMs = 100;
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM};
// Velomire gives up on the MIDI side after 1 s and exits within 2 + 3 s of the signal.
constexpr auto kExitWait = std::chrono::seconds(8);

// Held when the signal comes: notes on channels 1 and 2, the sustain pedal on both and
// sostenuto on channel 2.
const std::vector<Bytes> kHeld = {{0x90, 60, 100}, {0x90, 64, 90},  {0xB0, 64, 127},
                                  {0x91, 67, 80},  {0xB1, 66, 127}, {0xB1, 64, 127}};

// What the stop must send for kHeld under the setting, in any order.
std::vector<Bytes> Release(const SettingsData& s) {
    std::vector<Bytes> release;
    const auto channel = [&](std::uint8_t status) { return s.channels[status & 0x0F] & 0x0F; };
    for (const Bytes& m : kHeld)
        if ((m[0] & 0xF0) == 0x90)
            release.push_back(
                {static_cast<std::uint8_t>(0x80 | channel(m[0])), s.notes[m[1]].outnote, 64});
    for (const std::uint8_t status : {0xB0, 0xB1}) {
        const auto cc = static_cast<std::uint8_t>(0xB0 | channel(status));
        release.push_back({cc, 64, 0});
        if (status == 0xB1)
            release.push_back({cc, 66, 0});
        release.push_back({cc, 123, 0});
    }
    return release;
}

struct Mode {
    std::string key; // for --modes
    std::string name;
    bool frozenX = false;
    std::vector<std::string> args;
    std::vector<std::string> environment; // "NAME=value" set
    std::vector<std::string> unset;

    struct Round {
        double releaseMs = -1; // -1: the release did not arrive whole
        double periodMs = 0;   // the same by the frame time of the period that carried it
        double exitMs = -1;    // -1: did not end; killed
        std::string status;
        std::string note;
    };
    std::vector<Round> rounds;
};

// A frame the peer stamped, on JACK's clock, in ms after `t0` (JACK's µs).
double MsAfter(jack_client_t* client, jack_time_t t0, jack_nframes_t frame) {
    const jack_time_t t = jack_frames_to_time(client, frame);
    return (static_cast<double>(t) - static_cast<double>(t0)) / 1000.0;
}

template <typename Done> bool WaitFor(Done done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

bool Connected(const e2e::JackPeer& peer, bool both) {
    const bool out = !peer.Connections(peer.OutPortName()).empty();
    const bool in = !peer.Connections(peer.InPortName()).empty();
    return both ? out && in : out || in;
}

Mode::Round RunRound(const Mode& mode, int signal, e2e::JackPeer& peer, const Xvfb& x,
                     const std::string& directory, const std::vector<Bytes>& release) {
    Mode::Round r;
    // The previous run's ports linger a moment after it ends; readiness is judged by them.
    if (!WaitFor([&] { return !Connected(peer, false); }, std::chrono::seconds(5))) {
        r.note = "the peer is still connected to an earlier run";
        return r;
    }
    std::vector<std::string> argv = {VELOMIRE_BINARY};
    argv.insert(argv.end(), mode.args.begin(), mode.args.end());
    e2e::ChildProcess app;
    const std::size_t launched = peer.ReceivedCount();
    if (!app.Start(argv, e2e::EnvironmentWith(mode.environment, mode.unset), directory, r.note))
        return r;
    // Ready once Local Control Off has come and nothing more for a while: the window opens
    // the first devices listed, then moves to those its setting names (the same ones here),
    // sending it again.
    const Bytes localControlOff = {0xB0, 0x7A, 0x00};
    std::size_t count = launched;
    auto quietSince = Clock::now();
    const bool ready = WaitFor(
        [&] {
            if (peer.ReceivedCount() != count) {
                count = peer.ReceivedCount();
                quietSince = Clock::now();
            }
            return (count > launched && peer.Received(count - 1).Message() == localControlOff &&
                    Clock::now() - quietSince > std::chrono::milliseconds(300)) ||
                   !app.Running();
        },
        std::chrono::seconds(15));
    if (!ready || !app.Running()) {
        r.note = "not ready within 15 s; " + app.Stderr();
        return r;
    }
    const std::size_t before = peer.ReceivedCount();
    for (const Bytes& m : kHeld)
        peer.Send(m);
    if (!peer.WaitForReceived(before + kHeld.size(), std::chrono::seconds(5), nullptr)) {
        r.note = "the held notes did not come through";
        return r;
    }
    // The key lighting drawn, the UI idle again.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (mode.frozenX)
        e2e::Freeze(x.Pid());

    const std::size_t base = peer.ReceivedCount();
    const jack_time_t t0 = jack_get_time();
    app.Signal(signal);
    std::vector<Bytes> missing = release;
    std::size_t seen = base;
    const e2e::ReceivedEvent* last = nullptr;
    const auto arrived = [&] {
        for (; seen < peer.ReceivedCount(); ++seen) {
            const auto it =
                std::find(missing.begin(), missing.end(), peer.Received(seen).Message());
            if (it == missing.end())
                continue;
            missing.erase(it);
            last = &peer.Received(seen);
        }
        return missing.empty();
    };
    // Polled together: the window on a frozen display ends long after its release.
    std::optional<int> status;
    bool whole = false;
    const auto deadline = Clock::now() + kExitWait;
    auto endedAt = deadline;
    // What it sent before it ended reaches the peer within a period or two.
    while (!(whole && status) &&
           Clock::now() < (status ? endedAt + std::chrono::milliseconds(50) : deadline)) {
        if (!whole && (whole = arrived())) {
            r.releaseMs = static_cast<double>(last->time - t0) / 1000.0;
            // At once: the mapping runs back from the current period at the nominal rate,
            // and drifts the further back it reaches.
            r.periodMs = MsAfter(peer.Client(), t0, last->frame);
        }
        if (!status && (status = app.Wait(std::chrono::milliseconds(0)))) {
            r.exitMs = static_cast<double>(jack_get_time() - t0) / 1000.0;
            endedAt = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!whole)
        r.note = "missing " + Hex(missing) + ", after the signal came " +
                 Hex(peer.ReceivedMessages(base));
    if (mode.frozenX)
        ::kill(x.Pid(), SIGCONT);
    if (!status) {
        app.Kill();
        r.note += (r.note.empty() ? "" : "; ") + std::string("killed: not ended within 8 s");
    }
    r.status = status ? e2e::DescribeWaitStatus(*status) : "killed";
    if (!r.note.empty() && !app.Stderr().empty())
        r.note += "; its stderr: " + app.Stderr();
    return r;
}

std::string Ms(double ms) {
    return Fixed(ms, std::abs(ms) < 10 ? 2 : 0);
}

void Report(const Mode& m) {
    std::vector<double> release, ended, lateness;
    std::map<std::string, int> statuses;
    for (const Mode::Round& r : m.rounds) {
        if (r.releaseMs >= 0) {
            release.push_back(r.releaseMs);
            lateness.push_back(r.releaseMs - r.periodMs);
        }
        if (r.exitMs >= 0)
            ended.push_back(r.exitMs);
        ++statuses[r.status.empty() ? "not run" : r.status];
    }
    const Percentiles p = Summarize(release);
    const Percentiles e = Summarize(ended);
    const std::size_t incomplete = m.rounds.size() - release.size();
    std::string exits;
    for (const auto& [status, count] : statuses)
        exits += (exits.empty() ? "" : ", ") + status + " x" + std::to_string(count);
    const auto [early, late] = std::minmax_element(lateness.begin(), lateness.end());
    std::printf("%s: release p50 %s / p95 %s / max %s ms over %zu, %zu incomplete; %s, the "
                "process ended p50 %s / max %s ms after the signal; the callback's clock minus "
                "the period's frame time: %s to %s ms\n",
                m.name.c_str(), Ms(p.p50).c_str(), Ms(p.p95).c_str(), Ms(p.max).c_str(), p.count,
                incomplete, exits.c_str(), Ms(e.p50).c_str(), Ms(e.max).c_str(),
                lateness.empty() ? "?" : Ms(*early).c_str(),
                lateness.empty() ? "?" : Ms(*late).c_str());
    const bool met = !m.rounds.empty() && incomplete == 0 && p.max <= kGoalMs;
    PrintSummaryRow("8 Stop signal to the last note-off/pedal up/All Notes Off, " + m.name,
                    p.count ? "p50 " + Ms(p.p50) + " / p95 " + Ms(p.p95) + " / max " + Ms(p.max) +
                                  " ms, " + std::to_string(incomplete) + " of " +
                                  std::to_string(m.rounds.size()) + " incomplete"
                            : "not measured",
                    "<= 100 ms", met ? "met" : "MISSED");
    PrintSummaryRow("  then to the process's end (" + exits + ")",
                    e.count ? "p50 " + Ms(e.p50) + " / max " + Ms(e.max) + " ms" : "?", "", "");
}

} // namespace

int main(int argc, char** argv) {
    e2e::IsolateJackState();
    int rounds = 20;
    std::string modes = "frozen,idle,headless";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::clamp(std::atoi(argv[i + 1]), 1, 500);
        else if (std::strcmp(argv[i], "--modes") == 0)
            modes = argv[i + 1];
    }
    std::vector<Mode> all = {
        {"frozen",
         "window, X server frozen",
         true,
         {"--midi-api", "jack"},
         {"QT_QPA_PLATFORM=xcb"},
         {"WAYLAND_DISPLAY"},
         {}},
        {"idle",
         "window offscreen, UI idle",
         false,
         {"--midi-api", "jack"},
         {"QT_QPA_PLATFORM=offscreen"},
         {},
         {}},
        {"headless",
         "stage box",
         false,
         {"--headless", "Default", "--midi-api", "jack"},
         {},
         {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"},
         {}},
    };
    std::erase_if(all, [&](const Mode& m) { return modes.find(m.key) == std::string::npos; });

    e2e::JackServer server;
    e2e::JackPeer peer(kPeerName);
    TempDir tmp;
    Xvfb x;
    std::string error;
    const bool needX = std::any_of(all.begin(), all.end(), [](const Mode& m) { return m.frozenX; });
    if (!tmp.Valid() || !server.Start(error) || !peer.Open(error) || (needX && !x.Start(error))) {
        std::fprintf(stderr, "stop bench: %s\n", tmp.Valid() ? error.c_str() : "no temp dir");
        return 1;
    }
    for (Mode& m : all)
        if (m.frozenX)
            m.environment.push_back("DISPLAY=" + x.Display());
    const SettingsData setting = BenchSetting(peer.OutPortName(), peer.InPortName());
    if (!WriteSetting(tmp.Path(), "Default", setting, error)) {
        std::fprintf(stderr, "stop bench: %s\n", error.c_str());
        return 1;
    }
    const std::vector<Bytes> release = Release(setting);
    std::printf("JACK server %s: dummy driver, 48000 Hz, %u-frame periods; Xvfb %s\n"
                "%d rounds per mode, modes taking turns; %zu messages held, %zu in the "
                "release; latency = the last one's arrival (JACK clock) - the kill()\n\n",
                server.Name().c_str(), peer.BufferSize(), needX ? x.Display().c_str() : "(none)",
                rounds, kHeld.size(), release.size());
    std::fflush(stdout);

    const std::string loadAtStart = LoadAverage();
    for (int round = 0; round < rounds; ++round) {
        const int signal = kSignals[round % std::size(kSignals)];
        for (Mode& m : all) {
            m.rounds.push_back(RunRound(m, signal, peer, x, tmp.Path(), release));
            const Mode::Round& r = m.rounds.back();
            std::printf("  %-26s round %2d %-8s release %8s ms, %s after %s ms%s%s\n",
                        m.name.c_str(), round + 1,
                        ("SIG" + std::string(sigabbrev_np(signal))).c_str(),
                        r.releaseMs >= 0 ? Ms(r.releaseMs).c_str() : "-", r.status.c_str(),
                        r.exitMs >= 0 ? Ms(r.exitMs).c_str() : "-", r.note.empty() ? "" : "; ",
                        r.note.c_str());
            std::fflush(stdout);
        }
    }
    std::printf("\n");
    for (const Mode& m : all)
        Report(m);
    const std::string load = loadAtStart + " -> " + LoadAverage() + " on " +
                             std::to_string(std::thread::hardware_concurrency()) + " CPUs";
    std::printf("load average (1 min): %s\n", load.c_str());
    PrintSummaryRow("Load average (1 min) during the stop rounds", load, "", "");
    return 0;
}
