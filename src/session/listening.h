#pragma once

#include "core/listening/jack_audio_input.h"
#include "core/listening/loudness_meter.h"
#include "core/listening/measuring_run.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velomire {

class Session;

// A session's measuring runs: the audio input they listen through, the run under way, and
// the table the last run measured (kept as long as the session, never in a settings file).
//
// The run's notes go through the session's MIDI path as commands, in order with the rest,
// and are held there like played notes: a stop, a panic or a device change ends them from
// the MIDI side. Those also end the run. The audio is read from the input's ring on the UI
// thread every few milliseconds and measured there; a stall of the UI thread delays the
// measurement, never the notes' lengths (the run's clock is the audio).
//
// UI thread.
class Listening final : public QObject {
    Q_OBJECT
public:
    // How often the ring is read; it holds seconds, so a slow paint loses nothing.
    static constexpr auto kReadEvery = std::chrono::milliseconds(20);
    // No audio for this long while a run goes: the server stopped, or the port went.
    static constexpr auto kStallLimit = std::chrono::seconds(2);

    explicit Listening(Session& session, QObject* parent = nullptr);
    ~Listening() override;

    // Registers the audio input (JACK; see JackAudioInput). Empty when it is open, else why
    // it is not ("no JACK server is running ...").
    QString OpenInput();
    // Unregisters it; a run under way is cancelled first.
    void CloseInput();
    bool InputOpen() const { return input_ != nullptr; }
    // Audio outputs to listen to, and the one connected; empty without the input.
    std::vector<std::string> Sources() const;
    bool Connect(const std::string& source);
    std::string Connected() const;
    // The input's own port, "Velomire:Listen In" (empty without the input).
    std::string PortName() const;
    // The input's momentary loudness now (LUFS, LoudnessMeter::kFloorLufs for silence), for
    // the window to show while the pianist connects.
    double InputLufs() const;

    // Starts a run: the player's keys are ended and ignored, the pedal lifted, and the plan
    // plays. `velocityMap` (key, planned velocity -> velocity sent) replaces the plan's when
    // given. Empty when it started, else why not: no input, no source connected, no MIDI
    // output open, a run already going, nothing in the plan.
    QString Start(MeasuringPlan plan, std::function<int(int key, int velocity)> velocityMap = {});
    // Why Start would refuse `plan` now; empty when it would start (to ask before playing).
    QString Refusal(const MeasuringPlan& plan) const;
    // Stops at once: note-off and All Notes Off go out, the player's keys play again; what
    // was measured is kept.
    void Cancel();
    bool Running() const { return running_; }
    // The run under way or the last one (null before any).
    const MeasuringRun* Run() const { return run_.get(); }
    // What the last run measured (what a cancelled or failed one had measured).
    const LoudnessTable& Table() const { return table_; }
    // Writes Table() as text to `path`, whole or not at all. Empty, or why it failed.
    QString SaveTable(const QString& path) const;

    // The session ends what sounds for its own reason: the run ends with it.
    void Interrupt(const QString& why);

Q_SIGNALS:
    // A note was measured, or the run moved on (level check, measuring).
    void Progress();
    // The run ended: done, failed, cancelled or interrupted, with one line saying so.
    void Finished(bool complete, const QString& message);

private:
    void ReadAudio();
    void Finish(bool complete, const QString& message);
    QString Describe(MeasuringRun::Failure failure) const;

    Session& session_;
    std::unique_ptr<JackAudioInput> input_;
    std::unique_ptr<LoudnessMeter> idleMeter_; // the input's level between runs
    std::unique_ptr<MeasuringRun> run_;
    LoudnessTable table_;
    bool running_ = false;
    std::uint64_t droppedBefore_ = 0;
    std::chrono::steady_clock::time_point lastAudio_;
    std::vector<MeasuringRun::Action> actions_;
    QTimer read_;
};

} // namespace velomire
