// Voicing a real synth made uneven on purpose: FluidSynth's piano through a gain stage whose
// gain follows the note struck (about -9 to +6 dB across the keys, level only, pitch
// untouched), on a private JACK server. Velomire measures 88 keys at 32 64 96 127, fits at
// "every key even" and applies; then it measures again through the corrections at those
// velocities and at the ones halfway between (48 80 111), against the synth as it was there.
// Prints the p95 deviation from the median key, before and after, and the time taken; then
// SUMMARY rows for bench.sh.
//
// Options: --keys=LOW-HIGH (MIDI numbers, default 21-108), --soundfont=PATH.
#include "core/keyboard/note_names.h"
#include "core/velocity/voicing.h"
#include "gain_stage.h"
#include "listening_rig.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

using namespace velomire;
using namespace velomire::bench;

namespace {

constexpr double kAtVoicedGoalLu = 1.0;
constexpr double kBetweenGoalLu = 2.0;

// Uneven as a badly matched sample set: slow waves across the keyboard and a few odd keys.
double UnevenDb(int key) {
    double db = 4.0 * std::sin(0.7 * key) + 2.0 * std::sin(0.23 * key);
    if (key % 17 == 0)
        db -= 4.0;
    return db;
}

} // namespace

int main(int argc, char** argv) {
    e2e::IsolateJackState();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    MeasuringPlan plan;
    std::string soundfont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--keys=", 0) == 0)
            std::sscanf(a.c_str() + 7, "%d-%d", &plan.lowKey, &plan.highKey);
        else if (a.rfind("--soundfont=", 0) == 0)
            soundfont = a.substr(12);
    }
    const auto fail = [](const std::string& why) {
        std::printf("SUMMARY|Voicing FluidSynth made uneven|%s||FAILED\n", why.c_str());
        return 1;
    };
    FluidRig rig;
    if (const std::string why = rig.Start(soundfont); !why.empty())
        return fail(why);
    GainStage gain("uneven-gain");
    std::string error;
    for (int k = 0; k < 128; ++k)
        gain.SetGainDb(k, UnevenDb(k));
    if (!gain.Open(error))
        return fail(error);
    // The gain stage hears what the synth is sent, and the synth's sound goes through it.
    const std::string velomireOut = rig.session().midi().VirtualOutputName();
    if (!gain.Connect(velomireOut, gain.MidiInName()) ||
        !gain.Connect(FluidRig::kSynthLeft, gain.AudioInName()) ||
        !rig.listening().Connect(gain.AudioOutName()))
        return fail("the gain stage could not be connected");
    double lowest = 0, highest = 0;
    for (int k = plan.lowKey; k <= plan.highKey; ++k) {
        lowest = std::min(lowest, UnevenDb(k));
        highest = std::max(highest, UnevenDb(k));
    }
    std::printf("FluidSynth (%s) through a gain stage (%.1f to %+.1f dB by key); keys %s-%s\n",
                soundfont.c_str(), lowest, highest, note_num2name(plan.lowKey).toUtf8().constData(),
                note_num2name(plan.highKey).toUtf8().constData());
    std::printf("machine load: %s\n", LoadAverage().c_str());

    // Before: the synth as it is, at the voiced velocities.
    plan.velocities = {32, 64, 96, 127};
    const auto before = Measure(rig.listening(), plan);
    if (!before)
        return fail("the first run failed");
    const auto fitStart = Clock::now();
    VoicingOptions even;
    even.reachShare = kVoicingEveryKeyEvenShare;
    const VoicingResult fit = FitVoicing(before->table, rig.session().notes(), even);
    const double fitMs = std::chrono::duration<double, std::milli>(Clock::now() - fitStart).count();
    if (!fit.ok)
        return fail("nothing could be voiced");
    rig.session().ApplyVoicing(fit);
    std::vector<int> voiced;
    for (int k = plan.lowKey; k <= plan.highKey; ++k)
        if (fit.keys[static_cast<std::size_t>(k)].status == VoicingStatus::Fitted)
            voiced.push_back(k);
    std::printf("run 1 (before): %d notes in %.0f s; fit %.1f ms: %d keys voiced, %zu set aside, "
                "%zu short; level at 127 %.1f -> %.1f LUFS\n",
                plan.NoteCount(), before->seconds, fitMs, fit.counted, fit.SetAsideKeys().size(),
                fit.ShortKeys().size(), fit.levelBefore.back(), fit.target.back());
    for (const int k : fit.SetAsideKeys())
        std::printf("  set aside %s: %s\n", note_num2name(k).toUtf8().constData(),
                    VoicingSetAsideText(fit.keys[static_cast<std::size_t>(k)]).c_str());

    const auto throughCorrection = [&fit](int key, int velocity) {
        const KeyVoicing& v = fit.keys[static_cast<std::size_t>(key & 0x7F)];
        if (v.status != VoicingStatus::Fitted)
            return velocity;
        return static_cast<int>(MapVelocity(velocity, v.correctionExp, 0, v.correctionVmax));
    };
    const auto after = Measure(rig.listening(), plan, throughCorrection);
    MeasuringPlan between = plan;
    between.velocities = {48, 80, 111};
    const auto betweenBefore = Measure(rig.listening(), between);
    const auto betweenAfter = Measure(rig.listening(), between, throughCorrection);
    if (!after || !betweenBefore || !betweenAfter)
        return fail("a run after the fit failed");

    const auto p95 = [&](const LoudnessTable& t) {
        return Percentile(Deviations(t, voiced), 0.95);
    };
    const double atBefore = p95(before->table), atAfter = p95(after->table);
    const double btBefore = p95(betweenBefore->table), btAfter = p95(betweenAfter->table);
    std::printf("p95 |deviation from the median key| over %zu voiced keys:\n", voiced.size());
    std::printf("  at 32 64 96 127:   %.2f LU before, %.2f LU after (fit predicted %.2f)\n",
                atBefore, atAfter, fit.spreadAfter);
    std::printf("  at 48 80 111:      %.2f LU before, %.2f LU after (fit predicted %.2f)\n",
                btBefore, btAfter, fit.spreadBetweenAfter);
    const double total =
        before->seconds + after->seconds + betweenBefore->seconds + betweenAfter->seconds;
    std::printf("time: measuring %.0f s, fit %.1f ms, measuring again %.0f s\n", before->seconds,
                fitMs, after->seconds);

    std::printf("SUMMARY|Voicing, p95 spread at the voiced velocities|%.2f -> %.2f LU|<= %.1f LU "
                "after|%s\n",
                atBefore, atAfter, kAtVoicedGoalLu, atAfter <= kAtVoicedGoalLu ? "met" : "MISSED");
    std::printf("SUMMARY|Voicing, p95 spread between them|%.2f -> %.2f LU|<= %.1f LU after|%s\n",
                btBefore, btAfter, kBetweenGoalLu, btAfter <= kBetweenGoalLu ? "met" : "MISSED");
    std::printf("SUMMARY|Voicing %d keys: measure, fit, measure again|%.0f s + %.1f ms + %.0f s "
                "(bench total %.0f s)||measured\n",
                plan.highKey - plan.lowKey + 1, before->seconds, fitMs, after->seconds, total);
    return 0;
}
