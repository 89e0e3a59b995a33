#pragma once

#include "core/velocity/note_table.h"

#include <array>
#include <cstdint>
#include <span>

namespace velomire {

// Output channel (0-based) for each input channel 0..15; entry 16 exists and is unused.
using ChannelTable = std::array<std::uint8_t, 17>;

constexpr int kTransposeRange = 12; // offsets -12..+12

// Output notes for a transposition offset (entries 0..127, clamped to 0..127); 128 stays.
void TransposeOutnotes(NoteTable& notes, int offset);
// All channels to channel 1, or each to itself; entry 16 stays.
void RemapChannels(ChannelTable& channels, bool remap);

// What the path plays with: one immutable snapshot of the tables at a time.
struct PathTables {
    NoteTable notes{};
    ChannelTable channels{};
};

// Where the path's output goes, on the thread that runs the path. `frame` is the offset in
// the current period the message belongs at (0 where the MIDI system has no periods).
// False when the message could not be taken (counted as lost by the sender).
class MidiSender {
public:
    virtual bool Send(std::span<const std::uint8_t> bytes, std::uint32_t frame) = 0;

protected:
    ~MidiSender() = default;
};

// What the path tells the window: keys that start and stop sounding. MIDI side: must not
// lock, allocate or wait.
class PathEvents {
public:
    // `in` is the key played, `out` the key that sounds; velocities raw and mapped.
    virtual void Sounding(int in, int out, int velocity, int mapped) = 0;
    virtual void Released(int out) = 0;

protected:
    ~PathEvents() = default;
};

// The signal path: every incoming message, reshaped and sent on.
//
// Note-on velocity goes through its key's curve, note numbers through the output-note
// table, channels through the channel table. System messages pass untouched.
//
// It is also the memory of what sounds: where each held note and each held sound-holding
// pedal (sustain, sostenuto) went out. A note's end, and a pedal's release, leave where
// their start went, so changing transposition or the channel table while keys or pedals
// are held never leaves a note hanging on the instrument.
//
// One thread at a time; no locks, no allocation.
class MessagePath {
public:
    // Handles one short message (status 0x80..0xFF) and sends the result.
    void Process(std::span<const std::uint8_t> message, std::uint32_t frame,
                 const PathTables& tables, MidiSender& out, PathEvents& events);

    // A measuring run's note: key `key` as input channel 1 would sound it (its output note,
    // the channel input channel 1 goes to), at `velocity` as given (no curve), held in the
    // memory of what sounds like any played note. Key and velocity are taken 0..127.
    void Strike(std::uint8_t key, std::uint8_t velocity, const PathTables& tables, MidiSender& out,
                PathEvents& events);

    // Panic: System Reset, then a note-off for every note still sounding, then Sustain
    // off and All Notes Off on all 16 channels; forgets the sounding notes.
    void SendPanic(MidiSender& out, PathEvents& events);

    // A note-off for every note still sounding, where its note-on went; forgets them.
    // Returns how many it sent.
    int ReleaseSounding(MidiSender& out, PathEvents& events);

    // Sustain off, Sostenuto off (where that pedal was used) and All Notes Off, in channel
    // order, on every output channel that has carried a sounding note-on or a pedal since
    // the start or since the last such tail (the panic's included): a pedal still held on
    // the keyboard would otherwise keep released notes sounding. Forgets the held pedals.
    // Returns how many messages it sent.
    int SendPedalAndAllNotesOff(MidiSender& out);

    // For an output that can no longer be reached: forgets the sounding notes and held
    // pedals without sending anything (the keys go dark), but keeps the channels they used,
    // so that the next tail, once the output is back, ends what the instrument still holds.
    // Returns how many notes it forgot.
    int Forget(PathEvents& events);

    int SoundingCount() const { return soundingCount_; }
    // Sustain and sostenuto pedals held down now, counted per input channel.
    int PedalsHeld() const;

private:
    struct Sounding {
        std::uint8_t channel;
        std::uint8_t note;
        bool on;
    };
    enum Pedal : std::uint8_t { SustainPedal, SostenutoPedal, PedalCount };

    // Holds `held` sounding at outChannel/outNote; ends its earlier sound where it went.
    void Hold(Sounding& held, std::uint8_t outChannel, std::uint8_t outNote, std::uint32_t frame,
              MidiSender& out, PathEvents& events);

    // Per incoming channel and note: where its note-on went out.
    std::array<std::array<Sounding, 128>, 16> sounding_{};
    // Per incoming channel and pedal: where its press went out, while it is down.
    std::array<std::array<Sounding, PedalCount>, 16> pedals_{};
    int soundingCount_ = 0;
    std::uint16_t carried_ = 0;   // bit c: output channel c carried a note or a pedal
    std::uint16_t sostenuto_ = 0; // bit c: ... and the sostenuto pedal among them
};

} // namespace velomire
