#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velomire {

// Receives raw messages from an open input device.
// Called on the MIDI system's own thread: implementations must not lock or allocate.
class MidiInputSink {
public:
    virtual ~MidiInputSink() = default;
    virtual void OnMidiBytes(const std::uint8_t* data, std::size_t size) = 0;
};

// One direction of one MIDI system: enumeration, opening by index, and I/O.
// Indices are those of the last DeviceNames() call; opening re-finds the device by that
// name, so a list that has gone stale fails cleanly instead of opening another device.
class MidiInputBackend {
public:
    virtual ~MidiInputBackend() = default;
    virtual std::vector<std::string> DeviceNames() = 0;
    // Delivery to the sink may start as soon as this returns true.
    virtual bool Open(int index, MidiInputSink* sink) = 0;
    virtual void Close() = 0;
};

class MidiOutputBackend {
public:
    virtual ~MidiOutputBackend() = default;
    virtual std::vector<std::string> DeviceNames() = 0;
    // Index -1 is Velomire's own virtual output port, which other programs connect to.
    virtual bool Open(int index) = 0;
    virtual void Close() = 0;
    // Only called while open. A device that vanished swallows the bytes; never throws.
    virtual void Send(const std::uint8_t* data, std::size_t size) = 0;
    virtual std::string VirtualPortName() = 0;
    // False once the MIDI system itself has gone away (a JACK server that stopped) or has
    // left a call unanswered (a JACK server that hangs).
    virtual bool SystemAlive() const { return true; }

    // For a backend whose Send only queues (JACK: its real-time thread takes messages at
    // the next period): since the backend was made, Send has queued `queued` messages and
    // the oldest `taken` of them have left. Empty where Send hands each message over itself.
    struct Progress {
        std::uint64_t queued = 0;
        std::uint64_t taken = 0;
    };
    virtual std::optional<Progress> QueueProgress() const { return std::nullopt; }
    // Messages Send could not queue (the queue was full), since the backend was made.
    virtual std::uint64_t Dropped() const { return 0; }
};

// A MIDI system (ALSA, JACK, none, or the in-memory one of the tests).
class MidiSystem {
public:
    virtual ~MidiSystem() = default;
    virtual std::unique_ptr<MidiInputBackend> CreateInput() = 0;
    virtual std::unique_ptr<MidiOutputBackend> CreateOutput() = 0;
    virtual std::string Name() const = 0;
};

// Used when no MIDI system can be reached: no devices, every open fails.
class NoMidiSystem final : public MidiSystem {
public:
    std::unique_ptr<MidiInputBackend> CreateInput() override;
    std::unique_ptr<MidiOutputBackend> CreateOutput() override;
    std::string Name() const override { return "none"; }
};

// The client and port names Velomire registers; lists hide ports of this client so
// that Velomire is never offered as its own device (a feedback loop).
constexpr const char* kClientName = "Velomire";
constexpr const char* kInputPortName = "Velomire In";
constexpr const char* kOutputPortName = "Velomire Out";
bool IsOwnPort(const std::string& deviceName);

// Number of bytes a message with this status byte has on the wire (1..3), or 0 for
// bytes that cannot start a short message (data bytes, SysEx start and end).
int ShortMessageLength(std::uint8_t status);

// The largest SysEx Velomire passes on, and the memory the input sets aside for SysEx
// waiting to be forwarded (see MIDIInput). Larger ones are dropped and counted.
constexpr std::size_t kMaxSysExBytes = std::size_t{256} << 10;
constexpr std::size_t kSysExQueueBytes = std::size_t{4} << 20;

// What SplitMidiBytes carries from one event of a device's stream to the next.
struct MidiSplitState {
    bool inSysEx = false; // a SysEx has begun and has not ended yet
};

// Splits the bytes of one device event into whole messages:
// - running status is expanded;
// - a real-time byte (F8..FF) may stand anywhere, even inside another message or a SysEx,
//   and comes out on its own at once;
// - short messages stand within their event: data bytes with no status, and a message
//   still incomplete at the event's end, are dropped;
// - a SysEx is complete only with its F7 and may span events (a JACK device may send a
//   long one in pieces). One interrupted by any other status byte, F0 included, can never
//   be completed: it is dropped, and the status byte starts what follows.
// `out` is told, in stream order:
//   out.Message(bytes, n)     a short message, 1..3 bytes;
//   out.SysExBytes(bytes, n)  the next piece of the SysEx in progress (the first piece
//                             begins with F0, the last ends with F7);
//   out.SysExEnd()            the SysEx has ended with its F7;
//   out.SysExDropped()        the SysEx in progress was interrupted: forget its pieces.
// No allocation.
template <typename Out>
void SplitMidiBytes(MidiSplitState& state, const std::uint8_t* data, std::size_t size, Out& out) {
    std::uint8_t message[3];
    std::uint8_t running = 0; // channel status in force, 0 when none
    int need = 0;             // data bytes still wanted by message
    int have = 0;
    std::size_t piece = 0; // first SysEx byte of this event not yet passed on
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = data[i];
        if (b >= 0xF8) {
            if (state.inSysEx) {
                if (i > piece)
                    out.SysExBytes(&data[piece], i - piece);
                piece = i + 1;
            }
            out.Message(&data[i], 1);
            continue;
        }
        if (state.inSysEx) {
            if (b < 0x80)
                continue;
            state.inSysEx = false;
            if (b == 0xF7) {
                out.SysExBytes(&data[piece], i + 1 - piece);
                out.SysExEnd();
                continue;
            }
            out.SysExDropped();
        }
        if (b == 0xF0) {
            state.inSysEx = true;
            piece = i;
            running = 0;
            need = 0;
            have = 0;
            continue;
        }
        if (b >= 0x80) {
            message[0] = b;
            have = 1;
            need = ShortMessageLength(b) - 1;
            running = b < 0xF0 ? b : 0;
            if (need < 0) { // a lone F7
                need = 0;
                have = 0;
                continue;
            }
        } else if (need > 0) {
            message[have++] = b;
            --need;
        } else if (running != 0) {
            message[0] = running;
            message[1] = b;
            have = 2;
            need = ShortMessageLength(running) - 2;
        } else {
            continue; // a data byte with no status to belong to
        }
        if (need == 0 && have > 0) {
            out.Message(message, static_cast<std::size_t>(have));
            have = 0;
        }
    }
    if (state.inSysEx && size > piece)
        out.SysExBytes(&data[piece], size - piece); // goes on in the next event
}

} // namespace velomire
