#include "midi/message_path.h"

#include <algorithm>

namespace velomire {

namespace {
constexpr std::uint8_t kNoteOff = 0x80;
constexpr std::uint8_t kNoteOn = 0x90;
constexpr std::uint8_t kPolyPressure = 0xA0;
constexpr std::uint8_t kControlChange = 0xB0;
constexpr std::uint8_t kSystem = 0xF0;
constexpr std::uint8_t kSystemReset = 0xFF;
constexpr int kSustain = 64;
constexpr int kAllNotesOff = 123;
constexpr int kReleaseVelocity = 64; // "no velocity sensing" value for note-offs we invent

void Send(MIDIOutput& out, int status, int data1, int data2) {
    out.SetStatus(status);
    out.SetData1(data1);
    out.SetData2(data2);
    out.Action(PortAction::Send);
}
} // namespace

void MessagePath::Process(std::uint8_t status, std::uint8_t data1, std::uint8_t data2,
                          MIDIOutput& out) {
    if (status >= kSystem) {
        // System messages belong to no channel and carry no note: they pass as they are.
        Send(out, status, data1, data2);
        return;
    }
    data1 &= 0x7F;
    data2 &= 0x7F;
    const std::uint8_t kind = status & 0xF0;
    const std::uint8_t inChannel = status & 0x0F;
    std::uint8_t outChannel = channels_[inChannel];
    std::uint8_t outData1 = data1;
    std::uint8_t outData2 = data2;
    Sounding& held = sounding_[inChannel][data1];

    const bool noteOn = kind == kNoteOn && data2 > 0;
    const bool noteOff = kind == kNoteOff || (kind == kNoteOn && data2 == 0);
    if (noteOn) {
        const NoteSetting& entry = notes_[data1];
        const std::uint8_t mapped = MapVelocity(data2, entry);
        outData1 = entry.outnote;
        if (held.on && (held.channel != outChannel || held.note != outData1)) {
            // Struck again after the tables changed: end the first sound, or nothing
            // would ever end it.
            Send(out, kNoteOff | (held.channel & 0x0F), held.note, kReleaseVelocity);
            if (lighting_)
                lighting_->MarkReleased(held.note);
        }
        if (lighting_)
            lighting_->MarkSounding(outData1, data2, mapped);
        outData2 = mapped;
        if (!held.on)
            ++soundingCount_;
        held = {outChannel, outData1, true};
    } else if (noteOff) {
        if (held.on) {
            outChannel = held.channel;
            outData1 = held.note;
            held.on = false;
            --soundingCount_;
        } else {
            outData1 = notes_[data1].outnote;
        }
        if (lighting_)
            lighting_->MarkReleased(outData1);
    } else if (kind == kPolyPressure) {
        // Pressure belongs to the sounding key, wherever it went out.
        if (held.on) {
            outChannel = held.channel;
            outData1 = held.note;
        } else {
            outData1 = notes_[data1].outnote;
        }
    }
    if ((kind == kNoteOn && outData2 > 0) || (kind == kControlChange && outData1 == kSustain))
        carried_ = static_cast<std::uint16_t>(carried_ | 1u << (outChannel & 0x0F));
    // Controllers, programs, channel pressure and pitch bend keep their data1.
    Send(out, (outChannel & 0x0F) | kind, outData1, outData2);
}

void MessagePath::Drain(MIDIInput& in, MIDIOutput& out) {
    while (in.MessageCount() > 0) {
        const std::size_t size = in.MessageSize();
        const auto status = static_cast<std::uint8_t>(in.Status());
        if (size > 3 || status == kSystem) {
            // SysEx leaves whole and unchanged.
            out.SendBytes(in.MessageBytes(), size);
            in.Action(PortAction::TakeNext);
            continue;
        }
        const auto data1 = static_cast<std::uint8_t>(in.Data1());
        const auto data2 = static_cast<std::uint8_t>(in.Data2());
        in.Action(PortAction::TakeNext);
        if (status < 0x80)
            continue; // a stray data byte is no message
        Process(status, data1, data2, out);
    }
}

void MessagePath::SetTransposition(int offset) {
    for (int n = 0; n <= 127; ++n)
        notes_[static_cast<std::size_t>(n)].outnote =
            static_cast<std::uint8_t>(std::clamp(n + offset, 0, 127));
}

void MessagePath::SetRemapAll(bool remap) {
    for (int c = 0; c < 16; ++c)
        channels_[static_cast<std::size_t>(c)] = remap ? 0 : static_cast<std::uint8_t>(c);
}

int MessagePath::ReleaseSounding(MIDIOutput& out) {
    const int released = soundingCount_;
    for (auto& channel : sounding_) {
        for (auto& held : channel) {
            if (!held.on)
                continue;
            Send(out, kNoteOff | (held.channel & 0x0F), held.note, kReleaseVelocity);
            if (lighting_)
                lighting_->MarkReleased(held.note);
            held.on = false;
        }
    }
    soundingCount_ = 0;
    return released;
}

int MessagePath::SendPedalAndAllNotesOff(MIDIOutput& out) {
    int sent = 0;
    for (int c = 0; c < 16; ++c) {
        if (carried_ & 1u << c) {
            Send(out, kControlChange | c, kSustain, 0);
            Send(out, kControlChange | c, kAllNotesOff, 0);
            sent += 2;
        }
    }
    carried_ = 0;
    return sent;
}

void MessagePath::SendPanic(MIDIOutput& out) {
    out.SetStatus(kSystemReset);
    out.Action(PortAction::Send);
    // Many instruments ignore System Reset; end every note we started explicitly.
    ReleaseSounding(out);
    carried_ = 0xFFFF;
    SendPedalAndAllNotesOff(out);
}

} // namespace velomire
