#include "core/midi/message_path.h"

#include "core/midi/midi_backend.h"

#include <algorithm>

namespace velomire {

namespace {
constexpr std::uint8_t kNoteOff = 0x80;
constexpr std::uint8_t kNoteOn = 0x90;
constexpr std::uint8_t kPolyPressure = 0xA0;
constexpr std::uint8_t kControlChange = 0xB0;
constexpr std::uint8_t kSystem = 0xF0;
constexpr std::uint8_t kSystemReset = 0xFF;
constexpr std::uint8_t kSustain = 64;
constexpr std::uint8_t kSostenuto = 66;
constexpr std::uint8_t kPedalDown = 64; // controller values from here up hold the sound
constexpr std::uint8_t kAllNotesOff = 123;
constexpr std::uint8_t kReleaseVelocity = 64; // "no velocity sensing" for note-offs we invent

void Send(MidiSender& out, std::uint32_t frame, int status, int data1, int data2) {
    const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(status),
                                   static_cast<std::uint8_t>(data1 & 0x7F),
                                   static_cast<std::uint8_t>(data2 & 0x7F)};
    out.Send({bytes, static_cast<std::size_t>(ShortMessageLength(bytes[0]))}, frame);
}
} // namespace

void TransposeOutnotes(NoteTable& notes, int offset) {
    for (int n = 0; n <= 127; ++n)
        notes[static_cast<std::size_t>(n)].outnote =
            static_cast<std::uint8_t>(std::clamp(n + offset, 0, 127));
}

void RemapChannels(ChannelTable& channels, bool remap) {
    for (int c = 0; c < 16; ++c)
        channels[static_cast<std::size_t>(c)] = remap ? 0 : static_cast<std::uint8_t>(c);
}

void MessagePath::Process(std::span<const std::uint8_t> message, std::uint32_t frame,
                          const PathTables& tables, MidiSender& out, PathEvents& events) {
    const std::uint8_t status = message[0];
    if (status >= kSystem) {
        // System messages belong to no channel and carry no note: they pass as they are.
        out.Send(message, frame);
        return;
    }
    const std::uint8_t data1 = message.size() > 1 ? message[1] & 0x7F : 0;
    const std::uint8_t data2 = message.size() > 2 ? message[2] & 0x7F : 0;
    const std::uint8_t kind = status & 0xF0;
    const std::uint8_t inChannel = status & 0x0F;
    std::uint8_t outChannel = tables.channels[inChannel] & 0x0F;
    std::uint8_t outData1 = data1;
    std::uint8_t outData2 = data2;
    Sounding& held = sounding_[inChannel][data1];

    const bool noteOn = kind == kNoteOn && data2 > 0;
    const bool noteOff = kind == kNoteOff || (kind == kNoteOn && data2 == 0);
    if (noteOn) {
        const NoteSetting& entry = tables.notes[data1];
        const std::uint8_t mapped = MapVelocity(data2, entry);
        outData1 = entry.outnote;
        Hold(held, outChannel, outData1, frame, out, events);
        events.Sounding(data1, outData1, data2, mapped);
        outData2 = mapped;
    } else if (noteOff) {
        if (held.on) {
            outChannel = held.channel;
            outData1 = held.note;
            held.on = false;
            --soundingCount_;
        } else {
            outData1 = tables.notes[data1].outnote;
        }
        events.Released(outData1);
    } else if (kind == kPolyPressure) {
        // Pressure belongs to the sounding key, wherever it went out.
        if (held.on) {
            outChannel = held.channel;
            outData1 = held.note;
        } else {
            outData1 = tables.notes[data1].outnote;
        }
    } else if (kind == kControlChange && (data1 == kSustain || data1 == kSostenuto)) {
        // A pedal is pressed and released on one channel: while it is down, every value
        // goes where its press went, and its release ends it there.
        Sounding& pedal = pedals_[inChannel][data1 == kSustain ? SustainPedal : SostenutoPedal];
        if (pedal.on)
            outChannel = pedal.channel;
        pedal = {outChannel, data1, data2 >= kPedalDown};
        if (data1 == kSostenuto)
            sostenuto_ = static_cast<std::uint16_t>(sostenuto_ | 1u << outChannel);
    }
    if ((kind == kNoteOn && outData2 > 0) ||
        (kind == kControlChange && (outData1 == kSustain || outData1 == kSostenuto)))
        carried_ = static_cast<std::uint16_t>(carried_ | 1u << outChannel);
    // Controllers, programs, channel pressure and pitch bend keep their data1.
    Send(out, frame, outChannel | kind, outData1, outData2);
}

void MessagePath::Hold(Sounding& held, std::uint8_t outChannel, std::uint8_t outNote,
                       std::uint32_t frame, MidiSender& out, PathEvents& events) {
    if (held.on && (held.channel != outChannel || held.note != outNote)) {
        // Struck again after the tables changed: end the first sound, or nothing would
        // ever end it.
        Send(out, frame, kNoteOff | held.channel, held.note, kReleaseVelocity);
        events.Released(held.note);
    }
    if (!held.on)
        ++soundingCount_;
    held = {outChannel, outNote, true};
}

void MessagePath::Strike(std::uint8_t key, std::uint8_t velocity, const PathTables& tables,
                         MidiSender& out, PathEvents& events) {
    key &= 0x7F;
    velocity &= 0x7F;
    if (velocity == 0)
        return; // a note-on at 0 is a note-off: nothing would sound or be held
    const std::uint8_t outChannel = tables.channels[0] & 0x0F;
    const std::uint8_t outNote = tables.notes[key].outnote & 0x7F;
    Hold(sounding_[0][key], outChannel, outNote, 0, out, events);
    events.Sounding(key, outNote, velocity, velocity);
    carried_ = static_cast<std::uint16_t>(carried_ | 1u << outChannel);
    Send(out, 0, kNoteOn | outChannel, outNote, velocity);
}

int MessagePath::ReleaseSounding(MidiSender& out, PathEvents& events) {
    const int released = soundingCount_;
    for (auto& channel : sounding_) {
        for (auto& held : channel) {
            if (!held.on)
                continue;
            Send(out, 0, kNoteOff | held.channel, held.note, kReleaseVelocity);
            events.Released(held.note);
            held.on = false;
        }
    }
    soundingCount_ = 0;
    return released;
}

int MessagePath::SendPedalAndAllNotesOff(MidiSender& out) {
    int sent = 0;
    for (int c = 0; c < 16; ++c) {
        if (!(carried_ & 1u << c))
            continue;
        Send(out, 0, kControlChange | c, kSustain, 0);
        if (sostenuto_ & 1u << c) {
            Send(out, 0, kControlChange | c, kSostenuto, 0);
            ++sent;
        }
        Send(out, 0, kControlChange | c, kAllNotesOff, 0);
        sent += 2;
    }
    carried_ = 0;
    sostenuto_ = 0;
    pedals_ = {};
    return sent;
}

int MessagePath::Forget(PathEvents& events) {
    const int forgotten = soundingCount_;
    for (auto& channel : sounding_) {
        for (auto& held : channel) {
            if (held.on)
                events.Released(held.note);
            held.on = false;
        }
    }
    soundingCount_ = 0;
    pedals_ = {};
    return forgotten;
}

int MessagePath::PedalsHeld() const {
    int down = 0;
    for (const auto& channel : pedals_)
        for (const Sounding& pedal : channel)
            down += pedal.on ? 1 : 0;
    return down;
}

void MessagePath::SendPanic(MidiSender& out, PathEvents& events) {
    const std::uint8_t reset = kSystemReset;
    out.Send({&reset, 1}, 0);
    // Many instruments ignore System Reset; end every note we started explicitly.
    ReleaseSounding(out, events);
    carried_ = 0xFFFF;
    SendPedalAndAllNotesOff(out);
}

} // namespace velomire
