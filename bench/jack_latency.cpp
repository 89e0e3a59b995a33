#include "jack_latency.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace velomire::bench::jackbench {

Figures FiguresOf(const std::vector<double>& values) {
    Figures f;
    f.p = Summarize(values);
    if (!values.empty())
        f.min = *std::min_element(values.begin(), values.end());
    return f;
}

std::string FramesText(const Percentiles& p) {
    return Fixed(p.p50, 0) + " / " + Fixed(p.p99, 0) + " / " + Fixed(p.max, 0);
}

Latency Measure(ProbePeer& peer, const std::vector<Probe>& probes, const MapFn& map, unsigned gap,
                const std::function<std::uint64_t()>& targetCycles) {
    Latency r;
    r.probes = probes.size();
    std::vector<Bytes> expected;
    for (const Probe& p : probes)
        expected.push_back(map(Bytes(p.bytes.begin(), p.bytes.begin() + p.size)));

    const std::size_t arrivedBefore = peer.ArrivedCount();
    const std::size_t timeoutsBefore = ServerTimeouts();
    peer.ResetLateness();
    const double stealBefore = StealMs();
    const std::uint64_t peerCyclesBefore = peer.Cycles();
    const std::uint64_t targetCyclesBefore = targetCycles ? targetCycles() : 0;
    const Clock::time_point sending = Clock::now();
    const long first = peer.Play(probes, gap);
    if (first < 0) {
        r.note = "the peer's probe list is full";
        return r;
    }
    const std::size_t end = static_cast<std::size_t>(first) + probes.size();
    const double period = static_cast<double>(peer.BufferSize()) / kRate;
    const auto playing = std::chrono::milliseconds(
        static_cast<long>(1000.0 * period * gap * static_cast<double>(probes.size())));
    Clock::time_point allSent{};
    WaitFor(
        [&] {
            if (peer.SentCount() < end)
                return false;
            if (allSent == Clock::time_point{})
                allSent = Clock::now();
            return peer.ArrivedCount() - arrivedBefore >= probes.size() ||
                   Clock::now() - allSent > std::chrono::seconds(1);
        },
        playing * 3 + std::chrono::seconds(10));
    r.xrunsSending = peer.XRunsBetween(sending, Clock::now());

    // Arrivals in order against the probes in order; a probe skipped over is lost.
    std::size_t next = 0;
    std::vector<std::size_t> matched; // the probe each latency belongs to
    const std::size_t arrived = peer.ArrivedCount();
    for (std::size_t k = arrivedBefore; k < arrived; ++k) {
        const Arrival& a = peer.Arrived(k);
        const Bytes got(a.bytes.begin(), a.bytes.begin() + a.size);
        std::size_t m = next;
        const std::size_t limit = std::min(next + 32, expected.size());
        while (m < limit && expected[m] != got)
            ++m;
        if (m >= limit) {
            ++r.unexpected;
            continue;
        }
        r.lost += m - next;
        const auto sent = peer.SentFrame(static_cast<std::size_t>(first) + m);
        r.frames.push_back(static_cast<double>(static_cast<std::int32_t>(a.frame - sent)));
        matched.push_back(m);
        next = m + 1;
    }
    r.lost += expected.size() - next;
    r.timeouts = ServerTimeouts() - timeoutsBefore;
    r.peerLateUs = peer.LatestStartMicros();
    r.stealMs = StealMs() - stealBefore;
    // Read one after the other: a period may end between the reads.
    r.peerCycles = peer.Cycles() - peerCyclesBefore;
    if (targetCycles)
        r.targetCycles = static_cast<long>(targetCycles() - targetCyclesBefore);
    r.ran = true;

    // Which probes left the common latency, when and where in their period.
    std::map<double, std::size_t> seen;
    for (const double f : r.frames)
        ++seen[f];
    double common = 0;
    std::size_t most = 0;
    for (const auto& [latency, n] : seen)
        if (n > most) {
            most = n;
            common = latency;
        }
    for (std::size_t i = 0; i < r.frames.size() && r.odd.size() < 5; ++i) {
        if (r.frames[i] == common)
            continue;
        const std::size_t m = matched[i];
        const double at = static_cast<double>(static_cast<std::int32_t>(
                              peer.SentFrame(static_cast<std::size_t>(first) + m) -
                              peer.SentFrame(static_cast<std::size_t>(first)))) /
                          kRate;
        r.odd.push_back("probe " + std::to_string(m) + " at " + Fixed(at, 2) + " s, offset " +
                        std::to_string(probes[m].offset) + ": " + Fixed(r.frames[i], 0) +
                        " frames");
    }
    return r;
}

void PrintRun(const Latency& r, int run, bool showOdd) {
    if (!r.ran) {
        std::printf("  %-30s run %d  not measured: %s\n", r.name.c_str(), run, r.note.c_str());
        std::fflush(stdout);
        return;
    }
    const Figures f = FiguresOf(r.frames);
    std::printf("  %-30s run %d  p50/p99/max %s, min %s, spread %s frames; %zu probes, lost %zu, "
                "unexpected %zu, dropped %llu, server timeouts %zu, peer began a period up to %.1f "
                "ms late, "
                "steal %.0f ms",
                r.name.c_str(), run, FramesText(f.p).c_str(), Fixed(f.min, 0).c_str(),
                Fixed(f.Spread(), 0).c_str(), r.probes, r.lost, r.unexpected,
                static_cast<unsigned long long>(r.dropped), r.timeouts, r.peerLateUs / 1000.0,
                r.stealMs);
    if (r.targetCycles >= 0)
        std::printf(", periods run: peer %llu, Velomire %ld",
                    static_cast<unsigned long long>(r.peerCycles), r.targetCycles);
    if (!r.load.empty())
        std::printf(", load %s", r.load.c_str());
    std::printf("\n    xruns while sending %zu", r.xrunsSending);
    if (r.xrunsLife >= 0)
        std::printf(", activation..close %ld (%s)", r.xrunsLife, r.xrunLog.c_str());
    if (r.faultsConnected >= 0)
        std::printf("; page faults of its real-time threads: %ld by connection, +%ld warm-up, "
                    "+%ld probes",
                    r.faultsConnected, r.faultsWarmUp, r.faultsSending);
    std::printf("\n");
    if (showOdd)
        for (const std::string& odd : r.odd)
            std::printf("    off the common latency: %s\n", odd.c_str());
    if (r.memory.rss >= 0)
        std::printf("    resident 2 s after start: %s\n", MemoryText(r.memory).c_str());
    if (!r.note.empty())
        std::printf("    %s\n", r.note.c_str());
    std::fflush(stdout);
}

Life XRunsOverLife(const ProbePeer& peer, const std::string& prefix, ProbePeer::Time since,
                   std::size_t logMark, const Phases& phases) {
    WaitFor([&] { return peer.ClientLifetime(prefix, since).closed; }, std::chrono::seconds(5));
    // The notice of an xrun a close causes can trail the notice of the close itself.
    constexpr auto kTrail = std::chrono::milliseconds(100);
    Pause(kTrail);
    Life life;
    const ProbePeer::Lifetime span = peer.ClientLifetime(prefix, since);
    if (span.seen) {
        const ProbePeer::Time end = span.gone + kTrail;
        life.xruns = static_cast<long>(peer.XRunsBetween(span.appeared, end));
        std::string name = "activation";
        ProbePeer::Time from = span.appeared;
        std::string split;
        for (std::size_t i = 0; i <= phases.size(); ++i) {
            const ProbePeer::Time to =
                i < phases.size() ? std::clamp(phases[i].second, from, end) : end;
            split += (split.empty() ? "" : ", ") + name + " " +
                     std::to_string(peer.XRunsBetween(from, to));
            if (i < phases.size()) {
                name = phases[i].first;
                from = to;
            }
        }
        life.log = split + "; ";
    }
    life.log += "server log: " + ServerXRunsSince(logMark).Text() +
                (span.closed ? "" : "; it never closed");
    return life;
}

} // namespace velomire::bench::jackbench
