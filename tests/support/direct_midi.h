#pragma once

#include "core/midi/midi_backend.h"
#include "core/midi/realtime_engine.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velomire {

// One input and one output that cost nothing of their own: the caller plays into the open
// input with Feed, on its own thread as a device's thread would, and `onSend` sees every
// message sent. For benchmarks and fuzzers, whose figures and speed must be the path's own.
template <typename OnSend> class DirectMidiSystem final : public MidiSystem {
public:
    static constexpr const char* kIn = "direct in";
    static constexpr const char* kOut = "direct out";

    explicit DirectMidiSystem(OnSend send = {}) : onSend(std::move(send)) {}

    OnSend onSend;

    std::string Name() const override { return "direct"; }
    std::vector<std::string> Sources() override { return {kIn}; }
    std::vector<std::string> Targets() override { return {kOut}; }
    std::string VirtualOutputName() override { return "direct virtual"; }
    void Attach(RealtimeEngine* engine) override { engine_ = engine; }
    bool OpenInput(const std::string& source) override {
        CloseInput();
        inputOpen_ = engine_ != nullptr && source == kIn;
        return inputOpen_;
    }
    void CloseInput() override {
        if (std::exchange(inputOpen_, false) && engine_)
            engine_->InputClosed();
    }
    bool OpenOutput(const std::string& target) override {
        outputOpen_.store(target == kOut || target == VirtualOutputName());
        return outputOpen_.load();
    }
    bool CloseOutput() override {
        outputOpen_.store(false);
        return true;
    }
    void SilenceOutput() override { outputOpen_.store(false); }
    void Kick() override {
        if (engine_)
            engine_->Pump(sender_);
    }

    // One device event into the open input, run at once. False when no input is open.
    bool Feed(std::span<const std::uint8_t> event) {
        if (!inputOpen_)
            return false;
        engine_->Input(event, 0);
        engine_->Pump(sender_);
        return true;
    }

private:
    class Sender final : public MidiSender {
    public:
        explicit Sender(DirectMidiSystem& s) : s_(s) {}
        bool Send(std::span<const std::uint8_t> bytes, std::uint32_t) override {
            if (s_.outputOpen_.load(std::memory_order_relaxed))
                s_.onSend(bytes.data(), bytes.size());
            return true;
        }

    private:
        DirectMidiSystem& s_;
    };

    RealtimeEngine* engine_ = nullptr;
    bool inputOpen_ = false;
    std::atomic<bool> outputOpen_{false};
    Sender sender_{*this};
};

// Counts the bytes sent and keeps nothing: the cheapest output there is.
struct CountBytes {
    std::uint64_t bytes = 0;
    void operator()(const std::uint8_t*, std::size_t size) { bytes += size; }
};

} // namespace velomire
