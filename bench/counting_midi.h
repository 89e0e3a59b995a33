#pragma once

#include "midi/midi_backend.h"

#include <cstdint>

namespace velomire::bench {

// A MIDI system whose output only counts bytes and whose input is fed by the benchmark,
// so the figures are the path's own cost.
class CountingMidiSystem final : public MidiSystem {
public:
    std::uint64_t bytesSent = 0;
    MidiInputSink* sink = nullptr;

    std::unique_ptr<MidiInputBackend> CreateInput() override {
        struct In final : MidiInputBackend {
            CountingMidiSystem* sys;
            explicit In(CountingMidiSystem* s) : sys(s) {}
            std::vector<std::string> DeviceNames() override { return {"bench in"}; }
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
            CountingMidiSystem* sys;
            explicit Out(CountingMidiSystem* s) : sys(s) {}
            std::vector<std::string> DeviceNames() override { return {"bench out"}; }
            bool Open(int) override { return true; }
            void Close() override {}
            void Send(const std::uint8_t*, std::size_t size) override { sys->bytesSent += size; }
            std::string VirtualPortName() override { return "virtual"; }
        };
        return std::make_unique<Out>(this);
    }
    std::string Name() const override { return "counting"; }
};

} // namespace velomire::bench
