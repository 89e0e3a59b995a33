#pragma once

#include "midi/rtmidi_backend.h"

#include <future>
#include <memory>

namespace velomire {

// A MIDI system still being reached on another thread, so that the window can be built
// meanwhile (the ports make their backends at first use). Making a backend waits for the
// system and hands the request on to it.
//
// Must outlive every backend made from it. Used from one thread.
class PendingMidiSystem final : public MidiSystem {
public:
    explicit PendingMidiSystem(std::future<MidiSystemChoice> reaching);
    ~PendingMidiSystem() override;

    // The system reached (waits for it). Never null.
    const MidiSystemChoice& Choice();
    MidiSystem& Reached() { return *Choice().system; }

    std::unique_ptr<MidiInputBackend> CreateInput() override;
    std::unique_ptr<MidiOutputBackend> CreateOutput() override;
    std::string Name() const override;

private:
    std::future<MidiSystemChoice> reaching_;
    MidiSystemChoice choice_;
    bool reached_ = false;
};

} // namespace velomire
