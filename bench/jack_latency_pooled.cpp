#include "jack_latency.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace velomire::bench::jackbench {

bool Mode::AllRan() const {
    return !runs.empty() &&
           std::all_of(runs.begin(), runs.end(), [](const Latency& r) { return r.ran; });
}

Figures Mode::Pooled() const {
    std::vector<double> all;
    for (const Latency& r : runs)
        all.insert(all.end(), r.frames.begin(), r.frames.end());
    return FiguresOf(all);
}

std::size_t Mode::Missing() const {
    std::size_t n = 0;
    for (const Latency& r : runs)
        n += r.lost + r.unexpected + static_cast<std::size_t>(r.dropped);
    return n;
}

std::string Mode::OffText() const {
    const double common = Pooled().p.p50;
    std::size_t off = 0, stalled = 0;
    for (const Latency& r : runs) {
        const auto n = static_cast<std::size_t>(
            std::count_if(r.frames.begin(), r.frames.end(), [&](double v) { return v != common; }));
        off += n;
        if (r.timeouts > 0)
            stalled += n;
    }
    return std::to_string(off) + " off the common latency, " + std::to_string(stalled) +
           " of them in runs where the server timed out";
}

std::size_t Mode::Timeouts() const {
    std::size_t n = 0;
    for (const Latency& r : runs)
        n += r.timeouts;
    return n;
}

std::size_t Mode::Probes() const {
    std::size_t n = 0;
    for (const Latency& r : runs)
        n += r.probes;
    return n;
}

std::string Mode::Spreads() const {
    std::string text;
    for (const Latency& r : runs)
        text += (text.empty() ? "" : ", ") +
                (r.ran ? Fixed(FiguresOf(r.frames).Spread(), 0) : std::string("?"));
    return text;
}

void Mode::Record(Latency run, int number, bool showOdd) {
    run.name = name;
    runs.push_back(std::move(run));
    PrintRun(runs.back(), number, showOdd);
}

void PrintPooled(const LatencyModes& modes, int runs) {
    std::printf("Pooled over %d runs (p50/p99/max, min, spread in frames):\n", runs);
    for (const Mode* m :
         {&modes.bare, &modes.window, &modes.headless, &modes.idle, &modes.busy, &modes.blocked}) {
        const Figures f = m->Pooled();
        std::printf("  %-30s %s, min %s, spread %s (per run: %s); lost %zu of %zu\n",
                    m->name.c_str(), FramesText(f.p).c_str(), Fixed(f.min, 0).c_str(),
                    Fixed(f.Spread(), 0).c_str(), m->Spreads().c_str(), m->Missing(), m->Probes());
    }
    std::printf("\n");
}

namespace {

// Built by insert, not "+" + string: GCC 12 takes that for an overlapping copy once inlined.
std::string Signed(double v) {
    std::string text = Fixed(v, 0);
    if (v >= 0)
        text.insert(0, 1, '+');
    return text;
}

std::string ModeFigure(const Mode& m) {
    const Figures f = m.Pooled();
    return FramesText(f.p) + " frames, spread " + Fixed(f.Spread(), 0) + ", lost " +
           std::to_string(m.Missing()) + " of " + std::to_string(m.Probes()) +
           (m.Timeouts() ? ", server timeouts " + std::to_string(m.Timeouts()) : std::string());
}

// Against the bare pass-through's pooled figures: p99 and max no higher, no spread, none
// lost.
void SummarizeMode(const std::string& what, const Mode& m, const Mode& bare) {
    if (!m.AllRan() || !bare.AllRan()) {
        PrintSummaryRow(what, "not measured", "", "FAILED");
        return;
    }
    const Figures f = m.Pooled();
    const Figures b = bare.Pooled();
    std::string why;
    const auto add = [&](const std::string& s) { why += (why.empty() ? "" : ", ") + s; };
    if (f.p.p99 > b.p.p99)
        add("p99 " + Signed(f.p.p99 - b.p.p99));
    if (f.p.max > b.p.max)
        add("max " + Signed(f.p.max - b.p.max));
    if (f.Spread() > 0)
        add("spread " + Fixed(f.Spread(), 0));
    if (m.Missing() > 0)
        add(std::to_string(m.Missing()) + " lost");
    if (f.Spread() > 0)
        add(m.OffText());
    PrintSummaryRow(what, ModeFigure(m),
                    "p99, max <= bare (" + Fixed(b.p.p99, 0) + ", " + Fixed(b.p.max, 0) +
                        "); spread 0; none lost",
                    why.empty() ? "met" : "MISSED (" + why + ")");
}

// Every mode through Velomire should keep a probe's place in its period.
void PrintSpreadRow(const LatencyModes& modes) {
    std::string figure;
    bool met = true;
    const std::pair<const char*, const Mode*> shown[] = {{"window app", &modes.window},
                                                         {"headless", &modes.headless},
                                                         {"in process", &modes.idle},
                                                         {"UI busy", &modes.busy},
                                                         {"UI blocked", &modes.blocked}};
    std::string why;
    for (const auto& [name, m] : shown) {
        const Figures f = m->Pooled();
        met = met && m->AllRan() && f.Spread() == 0;
        figure += (figure.empty() ? "" : ", ") + std::string(name) + " " +
                  (m->AllRan() ? Fixed(f.Spread(), 0) : std::string("?"));
        if (m->AllRan() && f.Spread() > 0)
            why += (why.empty() ? "" : "; ") + std::string(name) + ": " + m->OffText();
    }
    PrintSummaryRow("2 Spread (max - min) at random offsets in the period",
                    figure + "; bare " + Fixed(modes.bare.Pooled().Spread(), 0) + " frames",
                    "0 frames (bare: for comparison)",
                    met ? "met" : "MISSED" + (why.empty() ? "" : " (" + why + ")"));
}

} // namespace

namespace {

// Run by run: xruns over the target's life no more than over the bare pass-through's in the
// same run, none while the probes played. Several modes of one round (the window in
// process) share its life and add up their sending.
void SummarizeXRuns(const std::string& what, const std::vector<const Mode*>& parts,
                    const Mode& bare) {
    std::string life, sending, bareLife, bareSending, why;
    const auto add = [](std::string& to, const std::string& s) {
        to += (to.empty() ? "" : "/") + s;
    };
    const std::size_t runs = parts.empty() ? 0 : parts[0]->runs.size();
    bool met = runs > 0;
    for (std::size_t i = 0; i < runs; ++i) {
        const Latency& first = parts[0]->runs[i];
        std::size_t sent = 0;
        bool ran = true;
        for (const Mode* m : parts) {
            ran = ran && i < m->runs.size() && m->runs[i].ran;
            sent += i < m->runs.size() ? m->runs[i].xrunsSending : 0;
        }
        const Latency* b = i < bare.runs.size() && bare.runs[i].ran ? &bare.runs[i] : nullptr;
        add(life, first.xrunsLife >= 0 ? std::to_string(first.xrunsLife) : "?");
        add(sending, ran ? std::to_string(sent) : "?");
        add(bareLife, b && b->xrunsLife >= 0 ? std::to_string(b->xrunsLife) : "?");
        add(bareSending, b ? std::to_string(b->xrunsSending) : "?");
        if (!ran || first.xrunsLife < 0 || !b || b->xrunsLife < 0) {
            met = false;
            why += (why.empty() ? "" : ", ") + std::string("run ") + std::to_string(i + 1) +
                   " not measured";
            continue;
        }
        if (first.xrunsLife > b->xrunsLife || sent > 0) {
            met = false;
            why += (why.empty() ? "" : ", ") + std::string("run ") + std::to_string(i + 1);
        }
    }
    if (runs == 0)
        why = "not measured";
    PrintSummaryRow(what,
                    "activation..close " + life + " (bare " + bareLife + "), while sending " +
                        sending + " (bare " + bareSending + ")",
                    "xruns activation..close <= bare pass-through in the same run; 0 while sending",
                    met ? "met" : "MISSED (" + why + ")");
}

} // namespace

void PrintXRunRows(const LatencyModes& modes) {
    if (!modes.alone.empty()) {
        std::string counts;
        for (const long n : modes.alone) {
            if (!counts.empty())
                counts += '/';
            counts += std::to_string(n);
        }
        PrintSummaryRow("9 XRuns per run with no target (the machine's own)",
                        counts + " in " + Fixed(modes.aloneSeconds, 1) + " s each", "", "");
    }
    SummarizeXRuns("9 XRuns per run, window app", {&modes.window}, modes.bare);
    SummarizeXRuns("9 XRuns per run, headless runner", {&modes.headless}, modes.bare);
    SummarizeXRuns("9 XRuns per run, window in process (idle, busy, blocked)",
                   {&modes.idle, &modes.busy, &modes.blocked}, modes.bare);
}

void PrintLatencyRows(const LatencyModes& modes, int blockMs) {
    PrintSummaryRow("1 Latency p50/p99/max, bare RtMidi pass-through",
                    modes.bare.AllRan() ? ModeFigure(modes.bare) : "not measured", "(floor)", "");
    SummarizeMode("1 Plain, window app", modes.window, modes.bare);
    SummarizeMode("1 Plain, headless runner", modes.headless, modes.bare);
    SummarizeMode("1 Plain, window in process (UI idle)", modes.idle, modes.bare);
    PrintSpreadRow(modes);
    SummarizeMode("3 UI busy (curve drags, display refreshes)", modes.busy, modes.bare);
    SummarizeMode("4 UI blocked " + std::to_string(blockMs) + " ms at a time", modes.blocked,
                  modes.bare);
}

} // namespace velomire::bench::jackbench
