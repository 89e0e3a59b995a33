#pragma once

#include "midi/midi_ports.h"
#include "velocity/note_table.h"

#include <array>
#include <cstdint>

namespace velomire {

// Output channel (0-based) for each input channel 0..15; entry 16 exists and is unused.
using ChannelTable = std::array<std::uint8_t, 17>;

constexpr int kTransposeRange = 12; // offsets -12..+12

// Shows which keys sound. Implemented by the keyboard view; the headless runner has none.
class KeyLighting {
public:
    virtual ~KeyLighting() = default;
    virtual void MarkSounding(int key, int velocity, int mapped) = 0;
    virtual void MarkReleased(int key) = 0;
};

// The signal path: every incoming message, reshaped and sent on.
//
// Note-on velocity goes through its key's curve, note numbers through the output-note
// table, channels through ChannelMap. System messages pass untouched. A note's end
// leaves on the channel and note its start went out on, so changing transposition or
// remapping while keys are held never leaves a note hanging on the instrument.
class MessagePath {
public:
    MessagePath(NoteTable& notes, ChannelTable& channels) : notes_(notes), channels_(channels) {}

    void SetKeyLighting(KeyLighting* lighting) { lighting_ = lighting; }

    // Handles one short message (status 0x80..0xFF) and sends the result.
    void Process(std::uint8_t status, std::uint8_t data1, std::uint8_t data2, MIDIOutput& out);

    // The body of MessageReceived: drains every waiting message in arrival order.
    void Drain(MIDIInput& in, MIDIOutput& out);

    // Rebuilds outnote of entries 0..127 for an offset (clamped to 0..127); 128 untouched.
    void SetTransposition(int offset);
    // All channels to channel 1, or identity; entry 16 untouched.
    void SetRemapAll(bool remap);

    // Panic: System Reset, then a note-off for every note still sounding, then Sustain
    // off and All Notes Off on all 16 channels; forgets the sounding notes. Releases the
    // lit keys of those notes.
    void SendPanic(MIDIOutput& out);

    // A note-off for every note still sounding, where its note-on went; forgets them.
    // Returns how many it sent.
    int ReleaseSounding(MIDIOutput& out);

    // Sustain off and All Notes Off, in channel order, on every output channel that has
    // carried a sounding note-on or a sustain pedal message since the start or since the
    // last such tail (the panic's included): a pedal still held on the keyboard would
    // otherwise keep released notes sounding. Returns how many messages it sent.
    int SendPedalAndAllNotesOff(MIDIOutput& out);

    int SoundingCount() const { return soundingCount_; }

private:
    struct Sounding {
        std::uint8_t channel;
        std::uint8_t note;
        bool on;
    };

    NoteTable& notes_;
    ChannelTable& channels_;
    KeyLighting* lighting_ = nullptr;
    // Per incoming channel and note: where its note-on went out.
    std::array<std::array<Sounding, 128>, 16> sounding_{};
    int soundingCount_ = 0;
    std::uint16_t carried_ = 0; // bit c: output channel c carried a note or the pedal
};

} // namespace velomire
