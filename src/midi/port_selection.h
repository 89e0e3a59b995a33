#pragma once

#include "midi/midi_ports.h"

namespace velomire {

// List positions: output 0 "Not Enabled", 1 the virtual port (device -1), 2.. devices 0..;
// input 0 "Not Enabled", 1.. devices 0...
constexpr int kNotEnabled = 0;
constexpr int kFirstOutputPosition = 2;
constexpr int kFirstInputPosition = 1;
inline const char* const kNotEnabledText = "Not Enabled";

// The port is closed if open; then, unless the position is 0 ("Not Enabled"), the chosen
// device is opened. False when it did not open.
bool OpenMidiOut(MIDIOutput& port, int position);
bool OpenMidiIn(MIDIInput& port, int position);
void CloseMidiOut(MIDIOutput& port);
void CloseMidiIn(MIDIInput& port);

// Local Control Off on channel 1: the instrument stops sounding its own keys and plays
// only what arrives over MIDI, i.e. through Velomire.
void SendLocalControlOff(MIDIOutput& port);

} // namespace velomire
