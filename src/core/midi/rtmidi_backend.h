#pragma once

#include "core/midi/midi_backend.h"

#include <memory>
#include <string>

namespace velomire {

enum class MidiApiChoice { Auto, Alsa, Jack };

struct MidiSystemChoice {
    std::unique_ptr<MidiSystem> system; // never null: NoMidiSystem when nothing is reachable
    bool available = false;
    std::string status; // one plain line: which system is used, or why none
};

// Picks the MIDI system. Auto: ALSA when its sequencer opens, else JACK when a server is
// already running (never starts one), else none. Never throws.
MidiSystemChoice ChooseMidiSystem(MidiApiChoice choice);

} // namespace velomire
