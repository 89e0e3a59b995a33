#pragma once

#include "midi/midi_backend.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace velomire {

// In-memory MIDI system for tests: scripted devices, failing opens, injected input and a
// record of everything sent and every open and close.
class FakeMidiSystem final : public MidiSystem {
public:
    struct Event {
        std::string what; // "in.open", "in.close", "out.open", "out.close"
        std::string device;
        friend bool operator==(const Event&, const Event&) = default;
    };

    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::set<std::string> failingDevices; // opening these fails

    std::unique_ptr<MidiInputBackend> CreateInput() override;
    std::unique_ptr<MidiOutputBackend> CreateOutput() override;
    std::string Name() const override { return "fake"; }

    // Delivers a message to the open input as its device would (from any thread).
    // Returns false when no input is open.
    bool Inject(std::vector<std::uint8_t> bytes);
    bool Inject(std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
        return Inject(std::vector<std::uint8_t>{status, d1, d2});
    }

    // Makes the open devices vanish, as an unplugged keyboard does.
    void Unplug(const std::string& device);

    std::vector<std::vector<std::uint8_t>> Sent() const;
    void ClearSent();
    std::vector<Event> Events() const;
    void ClearEvents();
    std::string OpenInput() const;
    std::string OpenOutput() const;

private:
    friend class FakeInput;
    friend class FakeOutput;
    mutable std::mutex mutex_;
    MidiInputSink* sink_ = nullptr;
    std::string openInput_;
    std::string openOutput_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::vector<Event> events_;
};

} // namespace velomire
