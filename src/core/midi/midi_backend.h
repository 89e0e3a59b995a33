#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velomire {

class RealtimeEngine;

// A MIDI system (ALSA, JACK, none, or the in-memory one of the tests): its devices by
// name, one input and one output of Velomire's own, and the thread on which it runs the
// engine that maps what the input brings and sends it on.
//
// Everything but what the engine does runs on one thread (the UI thread). Failures are
// results, never exceptions.
class MidiSystem {
public:
    virtual ~MidiSystem() = default;
    virtual std::string Name() const = 0;

    // Devices present now, as "client:port" names; Velomire's own ports are left out.
    virtual std::vector<std::string> Sources() = 0;
    virtual std::vector<std::string> Targets() = 0;
    // Velomire's own output port, which other programs connect to; also a target name.
    virtual std::string VirtualOutputName() = 0;

    // The engine fed by the input and sending to the output; set before opening, null
    // (after both are closed) before it goes.
    virtual void Attach(RealtimeEngine* engine) = 0;
    // Input from `source`, closing the one open before. False when it is not there or
    // does not open (the input is then closed).
    virtual bool OpenInput(const std::string& source) = 0;
    virtual void CloseInput() = 0;
    // Output to `target` (the virtual port: to whoever connects), closing the one before.
    virtual bool OpenOutput(const std::string& target) = 0;
    // Lets what was sent leave first, within a bound; false when not all of it could.
    virtual bool CloseOutput() = 0;
    // Nothing more leaves the output from now on, at once, also what waits to leave; it
    // stays chosen until CloseOutput. For a MIDI system that stopped answering: what it
    // was not given in time must not arrive later.
    virtual void SilenceOutput() = 0;
    // Runs the engine's waiting commands where no thread of the system's runs it on its
    // own (JACK's process callback does at every period).
    virtual void Kick() = 0;

    // False once the system has gone away (a JACK server that stopped or hangs). Revive
    // connects again once it is back; the ports are then closed. True when alive.
    virtual bool Alive() const { return true; }
    virtual bool Revive() { return Alive(); }
    // True while a server seems to run but has not answered yet (it may be stopped): worth
    // waiting for, unlike one that is not there at all.
    virtual bool Waiting() const { return false; }

    // `changed` runs on the UI thread soon after a device comes or goes, where the system
    // can tell (JACK does); a look at the devices finds the rest.
    virtual void WatchDevices(std::function<void()> changed) { (void)changed; }

    // ---- Any thread: for a stop that cannot wait for the UI thread ----

    // Makes the engine run its waiting work soon where no thread of the system runs it
    // on its own (Kick's job, but safe from any thread).
    virtual void WakeEngine() {}
    // Waits, at most `limit`, until what the engine has sent so far has left Velomire.
    virtual void AwaitSent(std::chrono::milliseconds limit) { (void)limit; }
};

// Used when no MIDI system can be reached: no devices, every open fails. Kick still runs
// the engine's commands, sending nowhere: whoever waits for one (a stop) is not held up
// and they do not pile up.
class NoMidiSystem final : public MidiSystem {
public:
    std::string Name() const override { return "none"; }
    std::vector<std::string> Sources() override { return {}; }
    std::vector<std::string> Targets() override { return {}; }
    std::string VirtualOutputName() override { return "Velomire Out (no MIDI system)"; }
    void Attach(RealtimeEngine* engine) override { engine_ = engine; }
    bool OpenInput(const std::string&) override { return false; }
    void CloseInput() override {}
    bool OpenOutput(const std::string&) override { return false; }
    bool CloseOutput() override { return true; }
    void SilenceOutput() override {}
    void Kick() override;
    void WakeEngine() override { Kick(); }

private:
    std::atomic<RealtimeEngine*> engine_{nullptr};
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

// The largest SysEx Velomire passes on, and the memory set aside for SysEx waiting to be
// forwarded (see RealtimeEngine). Larger ones are dropped and counted.
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
