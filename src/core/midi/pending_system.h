#pragma once

#include "core/midi/rtmidi_backend.h"

#include <atomic>
#include <future>
#include <memory>

namespace velomire {

// A MIDI system still being reached on another thread, so that the window can be built
// meanwhile. Every call waits for the system and hands the call on to it.
//
// Used from one thread.
class PendingMidiSystem final : public MidiSystem {
public:
    explicit PendingMidiSystem(std::future<MidiSystemChoice> reaching);
    ~PendingMidiSystem() override;

    // The system reached (waits for it). Never null.
    const MidiSystemChoice& Choice();
    MidiSystem& Reached() { return *Choice().system; }

    std::string Name() const override;
    std::vector<std::string> Sources() override { return Reached().Sources(); }
    std::vector<std::string> Targets() override { return Reached().Targets(); }
    std::string VirtualOutputName() override { return Reached().VirtualOutputName(); }
    void Attach(RealtimeEngine* engine) override { Reached().Attach(engine); }
    bool OpenInput(const std::string& s) override { return Reached().OpenInput(s); }
    void CloseInput() override { Reached().CloseInput(); }
    bool OpenOutput(const std::string& t) override { return Reached().OpenOutput(t); }
    bool CloseOutput() override { return Reached().CloseOutput(); }
    void SilenceOutput() override { Reached().SilenceOutput(); }
    void Kick() override { Reached().Kick(); }
    bool Alive() const override { return !reached_ || choice_.system->Alive(); }
    bool Revive() override { return Reached().Revive(); }
    bool Waiting() const override { return reached_ && choice_.system->Waiting(); }
    void WatchDevices(std::function<void()> changed) override {
        Reached().WatchDevices(std::move(changed));
    }
    // Any thread: before the system is reached no engine runs on it, so nothing sounds.
    void WakeEngine() override {
        if (MidiSystem* s = reachedSystem_.load(std::memory_order_acquire))
            s->WakeEngine();
    }
    void AwaitSent(std::chrono::milliseconds limit) override {
        if (MidiSystem* s = reachedSystem_.load(std::memory_order_acquire))
            s->AwaitSent(limit);
    }

private:
    std::future<MidiSystemChoice> reaching_;
    MidiSystemChoice choice_;
    bool reached_ = false;
    std::atomic<MidiSystem*> reachedSystem_{nullptr};
};

} // namespace velomire
