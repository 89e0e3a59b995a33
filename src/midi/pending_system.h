#pragma once

#include "midi/rtmidi_backend.h"

#include <future>
#include <memory>

namespace velomire {

// A MIDI system still being reached on another thread, so that the window can be built
// meanwhile. Backends made from it are empty shells until their first real use (listing
// or opening devices), which waits for the connection and then hands everything on to
// the backend of the system reached.
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
