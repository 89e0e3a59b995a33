#include "listening_rig.h"

#include "core/midi/rtmidi_backend.h"

#include <QCoreApplication>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace velomire::bench {

std::string FluidRig::Start(const std::string& soundfont) {
    std::string error;
    if (!server_.Start(error))
        return "no JACK server: " + error;
    const std::string shellPort = "shell.port=" + std::to_string(20000 + getpid() % 20000);
    if (access(soundfont.c_str(), R_OK) != 0 ||
        !fluid_.Start({"/usr/bin/fluidsynth", "-a", "jack", "-m", "jack", "-r", "48000", "-s", "-i",
                       "-o", shellPort, soundfont},
                      folder_.path().toStdString(), {}, error))
        return "FluidSynth or its soundfont is missing (fluidsynth, fluid-soundfont-gm)";
    midi_ = ChooseMidiSystem(MidiApiChoice::Jack);
    if (!midi_.available)
        return "Velomire's JACK client: " + midi_.status;
    session_ = std::make_unique<Session>(*midi_.system, SettingsStore(folder_.path()));
    const bool ready =
        WaitFor(
            [&] {
                const auto targets = session_->midi().Targets();
                return std::find(targets.begin(), targets.end(), kSynthMidiIn) != targets.end();
            },
            std::chrono::seconds(20)) &&
        session_->ChooseOutput(kSynthMidiIn) && listening().OpenInput().isEmpty();
    return ready ? std::string() : "FluidSynth did not come up: " + fluid_.Output();
}

FluidRig::~FluidRig() {
    if (session_)
        listening().CloseInput();
    session_.reset();
    fluid_.Stop();
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::optional<RunResult> Measure(Listening& listening, const MeasuringPlan& plan,
                                 std::function<int(int, int)> velocityMap) {
    QString said;
    bool ended = false;
    bool complete = false;
    const auto c =
        QObject::connect(&listening, &Listening::Finished, [&](bool whole, const QString& message) {
            ended = true;
            complete = whole;
            said = message;
        });
    const auto started = Clock::now();
    const QString refused = listening.Start(plan, std::move(velocityMap));
    if (!refused.isEmpty()) {
        QObject::disconnect(c);
        std::printf("the run did not start: %s\n", refused.toUtf8().constData());
        return std::nullopt;
    }
    const auto limit = std::chrono::seconds(static_cast<int>(plan.Seconds() * 2 + 30));
    const bool inTime = WaitFor([&] { return ended; }, limit);
    QObject::disconnect(c);
    if (!inTime || !complete) {
        std::printf("the run failed: %s\n",
                    inTime ? said.toUtf8().constData() : "it did not end in time");
        listening.Cancel();
        return std::nullopt;
    }
    return RunResult{listening.Table(),
                     std::chrono::duration<double>(Clock::now() - started).count(), said};
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const double at = p * static_cast<double>(v.size() - 1);
    const auto i = static_cast<std::size_t>(at);
    const double f = at - static_cast<double>(i);
    return i + 1 < v.size() ? v[i] * (1 - f) + v[i + 1] * f : v[i];
}

std::vector<double> Deviations(const LoudnessTable& t, const std::vector<int>& keys) {
    std::vector<double> out;
    const std::vector<int> all = keys.empty() ? t.Keys() : keys;
    for (int v = 0; v < t.VelocityCount(); ++v) {
        std::vector<double> levels;
        for (const int k : all)
            if (t.Sounded(k, v))
                levels.push_back(*t.At(k, v));
        const double median = Percentile(levels, 0.5);
        for (const double l : levels)
            out.push_back(std::fabs(l - median));
    }
    return out;
}

} // namespace velomire::bench
