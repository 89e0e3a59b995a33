#pragma once

#include "midi/midi_backend.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velomire {

// One input and one output device that cost nothing of their own: the caller feeds the
// open input through `sink` and `onSend` sees every message sent. For benchmarks and
// fuzzers, whose figures and speed must be the path's own.
template <typename OnSend> class DirectMidiSystem final : public MidiSystem {
public:
    explicit DirectMidiSystem(OnSend send = {}) : onSend(std::move(send)) {}

    MidiInputSink* sink = nullptr;
    OnSend onSend;

    std::unique_ptr<MidiInputBackend> CreateInput() override {
        struct In final : MidiInputBackend {
            DirectMidiSystem* sys;
            explicit In(DirectMidiSystem* s) : sys(s) {}
            std::vector<std::string> DeviceNames() override { return {"direct in"}; }
            bool Open(int, MidiInputSink* s) override {
                sys->sink = s;
                return true;
            }
            void Close() override { sys->sink = nullptr; }
        };
        return std::make_unique<In>(this);
    }
    std::unique_ptr<MidiOutputBackend> CreateOutput() override {
        struct Out final : MidiOutputBackend {
            DirectMidiSystem* sys;
            explicit Out(DirectMidiSystem* s) : sys(s) {}
            std::vector<std::string> DeviceNames() override { return {"direct out"}; }
            bool Open(int) override { return true; }
            void Close() override {}
            void Send(const std::uint8_t* data, std::size_t size) override {
                sys->onSend(data, size);
            }
            std::string VirtualPortName() override { return "virtual"; }
        };
        return std::make_unique<Out>(this);
    }
    std::string Name() const override { return "direct"; }
};

// Counts the bytes sent and keeps nothing: the cheapest output there is.
struct CountBytes {
    std::uint64_t bytes = 0;
    void operator()(const std::uint8_t*, std::size_t size) { bytes += size; }
};

} // namespace velomire
