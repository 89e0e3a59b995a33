// Listening to a real synth: FluidSynth (its General MIDI piano, FluidR3_GM) on a private
// JACK server (dummy driver, 48 kHz, 64 frames), measured by Velomire's measuring run over
// 88 keys x 4 velocities with the product's note lengths, twice. Prints the time a run
// takes, how far the two runs agree per key and velocity (p50 / p95 / max LU), and how
// uneven the synth's keyboard is as measured: per velocity, each key's deviation from the
// median key (spread and p95 of its size), with the loudest and softest keys named. Then
// SUMMARY rows for bench.sh.
//
// Options: --keys=LOW-HIGH (MIDI numbers, default 21-108), --note=SECONDS (0.6),
// --release=SECONDS (0.5), --soundfont=PATH.
#include "core/keyboard/note_names.h"
#include "listening_rig.h"

#include <QCoreApplication>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace velomire;
using namespace velomire::bench;

namespace {

constexpr double kRepeatGoalLu = 0.5;

// Per velocity: each key's deviation from the median key.
void Unevenness(const LoudnessTable& t, std::vector<double>& spreads, std::vector<double>& p95s) {
    for (int v = 0; v < t.VelocityCount(); ++v) {
        std::vector<std::pair<double, int>> levels;
        for (int k : t.Keys())
            if (t.Sounded(k, v))
                levels.push_back({*t.At(k, v), k});
        if (levels.size() < 2)
            continue;
        std::vector<double> values;
        for (const auto& l : levels)
            values.push_back(l.first);
        const double median = Percentile(values, 0.5);
        std::vector<double> sizes;
        for (double x : values)
            sizes.push_back(std::fabs(x - median));
        const auto [lo, hi] = std::minmax_element(levels.begin(), levels.end());
        const double spread = hi->first - lo->first;
        const double p95 = Percentile(sizes, 0.95);
        spreads.push_back(spread);
        p95s.push_back(p95);
        std::printf("  v %3d: median key %.1f LUFS; spread %.1f LU; p95 |deviation| %.1f LU; "
                    "loudest %s %+.1f, softest %s %+.1f\n",
                    t.Velocities()[static_cast<std::size_t>(v)], median, spread, p95,
                    note_num2name(hi->second).toUtf8().constData(), hi->first - median,
                    note_num2name(lo->second).toUtf8().constData(), lo->first - median);
    }
}

} // namespace

int main(int argc, char** argv) {
    e2e::IsolateJackState();
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // bench.sh shows it as it runs
    QCoreApplication app(argc, argv);
    MeasuringPlan plan;
    std::string soundfont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--keys=", 0) == 0)
            std::sscanf(a.c_str() + 7, "%d-%d", &plan.lowKey, &plan.highKey);
        else if (a.rfind("--note=", 0) == 0)
            plan.noteSeconds = std::atof(a.c_str() + 7);
        else if (a.rfind("--release=", 0) == 0)
            plan.releaseSeconds = std::atof(a.c_str() + 10);
        else if (a.rfind("--soundfont=", 0) == 0)
            soundfont = a.substr(12);
    }
    std::printf("FluidSynth (%s) through a private JACK server; keys %s-%s x velocities 32 64 "
                "96 127, notes %.2f s + %.2f s release, two runs\n",
                soundfont.c_str(), note_num2name(plan.lowKey).toUtf8().constData(),
                note_num2name(plan.highKey).toUtf8().constData(), plan.noteSeconds,
                plan.releaseSeconds);
    std::printf("machine load: %s\n", LoadAverage().c_str());

    FluidRig rig;
    if (const std::string why = rig.Start(soundfont); !why.empty()) {
        std::printf("SUMMARY|Listening to FluidSynth|%s||FAILED\n", why.c_str());
        return 1;
    }
    Listening& listening = rig.listening();
    if (!WaitFor([&] { return listening.Connect(FluidRig::kSynthLeft); },
                 std::chrono::seconds(5))) {
        std::printf("SUMMARY|Listening to FluidSynth|its audio output did not come||FAILED\n");
        return 1;
    }
    // FluidSynth's own reverb and chorus ring on past a note: the release pause lets them go.
    std::vector<RunResult> runs;
    for (int r = 0; r < 2; ++r) {
        auto result = Measure(listening, plan);
        if (!result) {
            std::printf("SUMMARY|Listening to FluidSynth|run %d failed||FAILED\n", r + 1);
            return 1;
        }
        int silent = 0;
        for (int k : result->table.Keys())
            for (int v = 0; v < result->table.VelocityCount(); ++v)
                silent += result->table.Sounded(k, v) ? 0 : 1;
        std::printf("run %d: %d notes in %.1f s (%.2f s a note, level check included); %d did "
                    "not sound; %s\n",
                    r + 1, plan.NoteCount(), result->seconds, result->seconds / plan.NoteCount(),
                    silent, result->said.toUtf8().constData());
        runs.push_back(std::move(*result));
    }

    std::vector<double> differences;
    const LoudnessTable& a = runs[0].table;
    const LoudnessTable& b = runs[1].table;
    for (int k : a.Keys())
        for (int v = 0; v < a.VelocityCount(); ++v)
            if (a.Sounded(k, v) && b.Sounded(k, v))
                differences.push_back(std::fabs(*b.At(k, v) - *a.At(k, v)));
    const double p50 = Percentile(differences, 0.5);
    const double p95 = Percentile(differences, 0.95);
    const double most =
        differences.empty() ? NAN : *std::max_element(differences.begin(), differences.end());
    std::printf("repeatability, |run 2 - run 1| per key and velocity (%zu pairs): p50 %.3f LU, "
                "p95 %.3f LU, max %.3f LU\n",
                differences.size(), p50, p95, most);
    std::printf("unevenness as measured (run 1), deviation from the median key:\n");
    std::vector<double> spreads, p95s;
    Unevenness(a, spreads, p95s);

    const double seconds = (runs[0].seconds + runs[1].seconds) / 2;
    std::printf("SUMMARY|Listening run, %d notes (FluidSynth)|%.0f s a run (%.2f s a note)|"
                "minutes|measured\n",
                plan.NoteCount(), seconds, seconds / plan.NoteCount());
    std::printf("SUMMARY|Listening repeatability, two runs|p50 %.3f / p95 %.3f / max %.3f LU|"
                "max <= %.1f LU|%s\n",
                p50, p95, most, kRepeatGoalLu, most <= kRepeatGoalLu ? "met" : "MISSED");
    if (!spreads.empty())
        std::printf("SUMMARY|FluidSynth piano unevenness as measured|spread %.1f-%.1f LU, p95 "
                    "deviation %.1f-%.1f LU across velocities||measured\n",
                    *std::min_element(spreads.begin(), spreads.end()),
                    *std::max_element(spreads.begin(), spreads.end()),
                    *std::min_element(p95s.begin(), p95s.end()),
                    *std::max_element(p95s.begin(), p95s.end()));
    return 0;
}
