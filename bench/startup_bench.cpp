// Start-up to the main window being mapped, and resident memory, of Velomire against a
// minimal Qt window that also opens one JACK client with a MIDI input and output port, on
// a private Xvfb. That client is the honest floor: libjack maps and locks the server's
// shared segments into every client, a hundred MiB that no window-only program pays.
//
// Velomire prints nothing when its window appears, so the window is watched from the X
// server: a separate X client listens for top-level windows being created and mapped,
// and through the DAMAGE extension for the first drawing into the mapped one. That is the
// moment the window has content on the screen, and it is measured the same way for both
// programs. The minimal window also stamps its own first paint, which shows how far the
// watched figure lies behind what the program itself sees.
//
// Time is from just before fork/exec to the event; memory is VmRSS two seconds after it.
// The goals are on the time to the map; the first drawing is shown beside it.
#include "bench_support.h"
#include "e2e/jack_harness.h"

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velomire::bench;

namespace {

struct Variant {
    std::string name;
    std::vector<std::string> argv;
    std::vector<std::string> environment;
};

struct Run {
    double mapMs = -1;
    double paintMs = -1;
    double selfPaintMs = -1; // as the program itself reports; minimal window only
    Memory memory;
    double cpuMs = -1; // CPU time of all its threads by the time memory is read
    std::string note;
};

// User and system time of a process, all its threads, from /proc/PID/stat; -1 if unreadable.
double CpuMs(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return -1;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // The name may hold spaces; the fields after it are counted from its closing ')'.
    const char* p = read ? std::strrchr(line, ')') : nullptr;
    if (!p)
        return -1;
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
        2)
        return -1;
    return 1000.0 * static_cast<double>(utime + stime) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double MsSince(Clock::time_point t0, Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - t0).count();
}

// A private session bus, as a desktop has. Without one, every Qt program spends its
// start trying to launch one (a fork and a failed exec per PATH entry), which is noise
// in both figures; when the daemon is not installed the runs go without.
class SessionBus {
public:
    bool Start(std::string& error) {
        address_ = StartReporting(
            child_,
            {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"},
            error);
        return !address_.empty();
    }
    void Stop() { child_.Stop(); }
    const std::string& Address() const { return address_; }

private:
    ChildProcess child_;
    std::string address_;
};

// Resident memory of a plain JACK MIDI client with no window, two seconds after start:
// what any program pays for being on JACK.
Memory BareClientMemory(const std::string& directory, std::string& note) {
    velomire::e2e::JackPeer peer("startup-peer");
    std::string error;
    if (!peer.Open(error)) {
        note = error;
        return {};
    }
    ChildProcess child;
    if (!child.Start({VELOMIRE_BARE_PASSTHROUGH, peer.OutPortName(), peer.InPortName()}, directory,
                     {}, error)) {
        note = error;
        return {};
    }
    const Clock::time_point t0 = child.Started();
    while (Clock::now() < t0 + std::chrono::seconds(2) && child.Running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Memory m = ReadMemory(child.Pid());
    if (m.rss < 0)
        note = "it ended early; its output:\n" + child.Output();
    child.Stop();
    return m;
}

Run WatchStart(const std::string& display, const std::string& bus, const Variant& v,
               const std::string& directory) {
    Run r;
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        r.note = "cannot connect to " + display;
        return r;
    }
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> owner(c, &xcb_disconnect);
    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(c, &xcb_damage_id);
    if (!damage || !damage->present) {
        r.note = "the X server has no DAMAGE extension";
        return r;
    }
    free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    // A round trip: the server watches before the program exists.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    std::vector<std::string> env = v.environment;
    env.push_back("DISPLAY=" + display);
    env.push_back("QT_QPA_PLATFORM=xcb");
    if (!bus.empty())
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
    ChildProcess child;
    std::string error;
    if (!child.Start(v.argv, directory, env, error)) {
        r.note = error;
        return r;
    }
    const Clock::time_point t0 = child.Started();

    xcb_window_t mapped = XCB_NONE;
    const auto deadline = t0 + std::chrono::seconds(15);
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    while (r.paintMs < 0 && Clock::now() < deadline && !xcb_connection_has_error(c)) {
        ::poll(&p, 1, 5);
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            const auto now = Clock::now();
            const std::uint8_t type = e->response_type & 0x7F;
            if (type == XCB_CREATE_NOTIFY) {
                const auto* ev = reinterpret_cast<xcb_create_notify_event_t*>(e);
                if (ev->parent == root) {
                    // InputOnly windows refuse; the error event is ignored below.
                    xcb_damage_create(c, xcb_generate_id(c), ev->window,
                                      XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
                    xcb_flush(c);
                }
            } else if (type == XCB_MAP_NOTIFY) {
                const auto* ev = reinterpret_cast<xcb_map_notify_event_t*>(e);
                if (ev->event == root && !ev->override_redirect && mapped == XCB_NONE) {
                    mapped = ev->window;
                    r.mapMs = MsSince(t0, now);
                }
            } else if (type == damage->first_event + XCB_DAMAGE_NOTIFY) {
                const auto* ev = reinterpret_cast<xcb_damage_notify_event_t*>(e);
                if (mapped != XCB_NONE && ev->drawable == mapped && r.paintMs < 0)
                    r.paintMs = MsSince(t0, now);
                // Re-arm: a non-empty report comes once until the damage is taken away.
                xcb_damage_subtract(c, ev->damage, XCB_NONE, XCB_NONE);
                xcb_flush(c);
            }
            free(e);
        }
    }
    if (r.paintMs < 0)
        r.note = "no painted window within 15 s; its output:\n" + child.Output();

    while (Clock::now() < t0 + std::chrono::seconds(2) && child.Running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r.memory = ReadMemory(child.Pid());
    r.cpuMs = CpuMs(child.Pid());

    const std::string output = child.Output();
    const auto at = output.find("first-paint ");
    if (at != std::string::npos) {
        const long long ns = std::atoll(output.c_str() + at + 12);
        const long long t0ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(t0.time_since_epoch()).count();
        r.selfPaintMs = static_cast<double>(ns - t0ns) / 1e6;
    }
    child.Stop();
    return r;
}

double Median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Figures {
    double mapMs = -1;
    double paintMs = -1;
    double selfPaintMs = -1;
    double rssMiB = -1;
    double cpuMs = -1;
    Memory memory; // each field's median
    int failed = 0;
};

Figures Medians(const std::vector<Run>& runs) {
    std::vector<double> map, paint, self, rss, anon, file, shmem, cpu;
    Figures f;
    for (const Run& r : runs) {
        if (r.paintMs < 0) {
            ++f.failed;
            continue;
        }
        map.push_back(r.mapMs);
        if (r.cpuMs >= 0)
            cpu.push_back(r.cpuMs);
        paint.push_back(r.paintMs);
        if (r.selfPaintMs >= 0)
            self.push_back(r.selfPaintMs);
        if (r.memory.rss >= 0) {
            rss.push_back(static_cast<double>(r.memory.rss));
            anon.push_back(static_cast<double>(r.memory.anon));
            file.push_back(static_cast<double>(r.memory.file));
            shmem.push_back(static_cast<double>(r.memory.shmem));
        }
    }
    f.mapMs = Median(map);
    f.paintMs = Median(paint);
    f.selfPaintMs = Median(self);
    f.memory = {static_cast<long>(Median(rss)), static_cast<long>(Median(anon)),
                static_cast<long>(Median(file)), static_cast<long>(Median(shmem))};
    f.rssMiB = rss.empty() ? -1 : Median(rss) / 1024.0;
    f.cpuMs = Median(cpu);
    return f;
}

std::string Ratio(double a, double b) {
    return b > 0 && a >= 0 ? Fixed(a / b, 2) + "x" : std::string("?");
}

} // namespace

int main(int argc, char** argv) {
    velomire::e2e::IsolateJackState();
    int runs = 5;
    // --binary: another build of Velomire to measure, e.g. a candidate change.
    std::string binary = VELOMIRE_BINARY;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::clamp(std::atoi(argv[i + 1]), 1, 50);
        else if (std::strcmp(argv[i], "--binary") == 0)
            binary = argv[i + 1];
    }

    std::string error;
    Xvfb x;
    if (!x.Start(error)) {
        std::fprintf(stderr, "startup bench: %s\n", error.c_str());
        return 1;
    }
    SessionBus bus;
    std::string busError;
    if (!bus.Start(busError))
        std::printf("no session bus (%s); runs go without\n", busError.c_str());
    // Velomire runs as it is used, on a JACK server, against the minimal window with a
    // JACK client; the others show what the MIDI system adds to start-up and memory.
    velomire::e2e::JackServer jack;
    if (!jack.Start(error)) {
        std::fprintf(stderr, "startup bench: %s\n", error.c_str());
        return 1;
    }
    TempDir work;
    const std::vector<Variant> variants = {
        {"minimal window + JACK", {VELOMIRE_MINIMAL_WINDOW, "--jack"}, {}},
        {"velomire --midi-api jack", {binary, "--midi-api", "jack"}, {}},
        {"velomire, no MIDI server",
         {binary, "--midi-api", "jack"},
         {"JACK_DEFAULT_SERVER=velomire-bench-no-such-server"}},
        {"minimal window with text", {VELOMIRE_MINIMAL_WINDOW, "--text"}, {}},
        {"minimal Qt window", {VELOMIRE_MINIMAL_WINDOW}, {}},
        {"minimal + JACK, shown first", {VELOMIRE_MINIMAL_WINDOW, "--jack-late"}, {}},
        {"minimal + JACK + text", {VELOMIRE_MINIMAL_WINDOW, "--jack", "--text"}, {}},
    };
    std::printf("Xvfb %s, JACK server %s, %s; %d runs per program after one warm-up, "
                "interleaved\n",
                x.Display().c_str(), jack.Name().c_str(),
                bus.Address().empty() ? "no session bus" : "a private session bus", runs);
    std::printf("Velomire: %s\n", binary.c_str());
    std::printf("Times from exec, ms: window mapped / first drawing in it (DAMAGE) / own first "
                "paint; CPU time used and RSS 2 s after exec\n");
    std::vector<std::vector<Run>> results(variants.size());
    for (int round = 0; round <= runs; ++round) {
        for (std::size_t i = 0; i < variants.size(); ++i) {
            const Run r = WatchStart(x.Display(), bus.Address(), variants[i], work.Path());
            std::printf("  %-26s %s  map %6.1f  paint %6.1f  own %6.1f  CPU %5.0f ms  RSS %s%s\n",
                        variants[i].name.c_str(), round == 0 ? "warm-up" : "run    ", r.mapMs,
                        r.paintMs, r.selfPaintMs, r.cpuMs, MemoryText(r.memory).c_str(),
                        r.note.empty() ? "" : ("  " + r.note).c_str());
            std::fflush(stdout);
            if (round > 0)
                results[i].push_back(r);
        }
    }
    std::string bareNote;
    const Memory bare = BareClientMemory(work.Path(), bareNote);
    std::printf("  %-26s RSS %s%s\n", "bare JACK client, no window", MemoryText(bare).c_str(),
                bareNote.empty() ? "" : ("  " + bareNote).c_str());
    jack.Stop();
    bus.Stop();
    x.Stop();

    std::vector<Figures> f;
    std::printf("\nMedians of %d runs:\n", runs);
    for (std::size_t i = 0; i < variants.size(); ++i) {
        f.push_back(Medians(results[i]));
        std::printf("  %-26s map %6.1f ms  paint %6.1f ms  CPU %5.0f ms  RSS %s%s\n",
                    variants[i].name.c_str(), f[i].mapMs, f[i].paintMs, f[i].cpuMs,
                    MemoryText(f[i].memory).c_str(),
                    f[i].failed ? (" (" + std::to_string(f[i].failed) + " runs failed)").c_str()
                                : "");
    }
    if (f[0].selfPaintMs >= 0)
        std::printf("  minimal window's own first paint: %.1f ms (the watched drawing: %.1f ms)\n",
                    f[0].selfPaintMs, f[0].paintMs);
    std::printf("\n");

    const double timeRatio = f[0].mapMs > 0 ? f[1].mapMs / f[0].mapMs : -1;
    const double rssRatio = f[0].rssMiB > 0 ? f[1].rssMiB / f[0].rssMiB : -1;
    const auto verdict = [](double ratio) {
        if (ratio < 0)
            return std::string("FAILED");
        return ratio <= 1.3 ? std::string("met")
                            : "MISSED by " + Fixed((ratio - 1.3) * 100.0, 0) + " points";
    };
    PrintSummaryRow("7 Start-up, exec to the window mapped (Xvfb, median)",
                    "velomire " + Fixed(f[1].mapMs, 0) + " ms, minimal + JACK " +
                        Fixed(f[0].mapMs, 0) + " ms: " + Ratio(f[1].mapMs, f[0].mapMs),
                    "<= 1.3x", verdict(timeRatio));
    PrintSummaryRow("7 Resident memory 2 s after start (Xvfb, median)",
                    "velomire " + Fixed(f[1].rssMiB, 1) + " MiB (shmem " +
                        Fixed(static_cast<double>(f[1].memory.shmem) / 1024.0, 1) +
                        "), minimal + JACK " + Fixed(f[0].rssMiB, 1) + " MiB (shmem " +
                        Fixed(static_cast<double>(f[0].memory.shmem) / 1024.0, 1) +
                        "): " + Ratio(f[1].rssMiB, f[0].rssMiB),
                    "<= 1.3x", verdict(rssRatio));
    PrintSummaryRow("7 Same, to the first drawing in the window",
                    "velomire " + Fixed(f[1].paintMs, 0) + " ms, minimal + JACK " +
                        Fixed(f[0].paintMs, 0) + " ms: " + Ratio(f[1].paintMs, f[0].paintMs),
                    "", "");
    PrintSummaryRow("7 CPU time used by 2 s after exec (all threads)",
                    "velomire " + Fixed(f[1].cpuMs, 0) + " ms, minimal + JACK " +
                        Fixed(f[0].cpuMs, 0) + " ms: " + Ratio(f[1].cpuMs, f[0].cpuMs),
                    "", "");
    // JACK's shared segments are locked into every client's address space (VmLck) and
    // shared with the server and every other client; without them:
    const auto privateMiB = [](const Memory& m) {
        return static_cast<double>(m.rss - std::max(m.shmem, 0L)) / 1024.0;
    };
    PrintSummaryRow("7 Memory without shared memory (JACK's segments)",
                    "velomire " + Fixed(privateMiB(f[1].memory), 1) + " MiB, minimal + JACK " +
                        Fixed(privateMiB(f[0].memory), 1) +
                        " MiB: " + Ratio(privateMiB(f[1].memory), privateMiB(f[0].memory)),
                    "", "");
    PrintSummaryRow("7 Floor: a bare RtMidi JACK pass-through, no window",
                    Fixed(static_cast<double>(bare.rss) / 1024.0, 1) + " MiB, of it shmem " +
                        Fixed(static_cast<double>(bare.shmem) / 1024.0, 1),
                    "", "");
    PrintSummaryRow("7 Minimal Qt window without JACK",
                    "map " + Fixed(f[4].mapMs, 0) + " ms, " + Fixed(f[4].rssMiB, 1) + " MiB", "",
                    "");
    PrintSummaryRow("7 Minimal + JACK, window shown before the client is open",
                    "map " + Fixed(f[5].mapMs, 0) + " ms, first drawing " + Fixed(f[5].paintMs, 0) +
                        " ms",
                    "", "");
    PrintSummaryRow("7 Minimal + JACK with one line of text (fonts loaded)",
                    "map " + Fixed(f[6].mapMs, 0) + " ms (velomire " +
                        Ratio(f[1].mapMs, f[6].mapMs) + " of it), " + Fixed(f[6].rssMiB, 1) +
                        " MiB",
                    "", "");
    PrintSummaryRow("7 Velomire with no MIDI server",
                    "map " + Fixed(f[2].mapMs, 0) + " ms (" + Ratio(f[2].mapMs, f[4].mapMs) +
                        " of the window without JACK), " + Fixed(f[2].rssMiB, 1) + " MiB (" +
                        Ratio(f[2].rssMiB, f[4].rssMiB) + ")",
                    "", "");
    PrintSummaryRow("7 Minimal window with one line of text",
                    "map " + Fixed(f[3].mapMs, 0) + " ms, " + Fixed(f[3].rssMiB, 1) + " MiB", "",
                    "");
    return 0;
}
