#pragma once

#include "core/midi/message_path.h"
#include "core/midi/midi_backend.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace velomire {

// In-memory MIDI system for tests: scripted devices, failing opens, injected input and a
// record of everything sent and every open and close. Injected input runs the engine on the
// injecting thread, as a device's thread would.
class FakeMidiSystem final : public MidiSystem {
public:
    struct Event {
        std::string what; // "in.open", "in.close", "out.open", "out.close"
        std::string device;
        friend bool operator==(const Event&, const Event&) = default;
    };
    static constexpr const char* kVirtual = "Velomire Out (virtual)";

    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::set<std::string> failingDevices; // opening these fails

    std::string Name() const override { return "fake"; }
    std::vector<std::string> Sources() override;
    std::vector<std::string> Targets() override;
    std::string VirtualOutputName() override { return kVirtual; }
    void Attach(RealtimeEngine* engine) override;
    bool OpenInput(const std::string& source) override;
    void CloseInput() override;
    bool OpenOutput(const std::string& target) override;
    bool CloseOutput() override;
    void SilenceOutput() override {}
    void Kick() override;
    void WakeEngine() override { Kick(); }
    bool Alive() const override { return alive_.load(); }
    bool Revive() override { return Alive(); }

    // Delivers a message to the open input as its device would. False when no input is
    // open.
    bool Inject(std::vector<std::uint8_t> bytes);
    bool Inject(std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
        return Inject(std::vector<std::uint8_t>{status, d1, d2});
    }

    // Makes a device vanish from both lists, as an unplugged keyboard does; a port open on it
    // stays open until closed. Adding the name to `inputs` or `outputs` brings it back.
    void Unplug(const std::string& device);
    // The whole system goes away (a server that stopped) or comes back.
    void SetAlive(bool alive) { alive_.store(alive); }

    std::vector<std::vector<std::uint8_t>> Sent() const;
    void ClearSent();
    std::vector<Event> Events() const;
    void ClearEvents();
    std::string OpenedInput() const;
    std::string OpenedOutput() const;

private:
    class Sender final : public MidiSender {
    public:
        explicit Sender(FakeMidiSystem& s) : s_(s) {}
        bool Send(std::span<const std::uint8_t> bytes, std::uint32_t) override;

    private:
        FakeMidiSystem& s_;
    };

    mutable std::mutex mutex_;
    Sender sender_{*this};
    std::atomic<RealtimeEngine*> engine_{nullptr};
    std::atomic<bool> alive_{true};
    std::string openInput_;
    std::string openOutput_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::vector<Event> events_;
};

} // namespace velomire
