#pragma once

#include "e2e/jack_harness.h"

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace velomire::e2e {

// A sound generator with known levels: every key sounds a 1 kHz sine (one pitch, so the
// K-weighting is the same for all), amplitude Gain(key) * (velocity / 127)^2, one voice;
// a note-off fades it out in 5 ms. MIDI in on "midi_in", audio out on "out". It also keeps
// the MIDI it received, for the test to check what the run sent.
class TestSynth {
public:
    static constexpr double kFrequency = 1000.0;

    explicit TestSynth(std::string name);
    ~TestSynth();
    TestSynth(const TestSynth&) = delete;
    TestSynth& operator=(const TestSynth&) = delete;

    // Before Open: key's gain (linear, 1.0 full scale at velocity 127).
    void SetGain(int key, double gain) { gains_[static_cast<std::size_t>(key & 0x7F)] = gain; }
    double Gain(int key) const { return gains_[static_cast<std::size_t>(key & 0x7F)]; }
    static double VelocityLaw(int velocity) { return (velocity / 127.0) * (velocity / 127.0); }

    bool Open(std::string& error);
    std::string MidiInName() const { return name_ + ":midi_in"; }
    std::string AudioOutName() const { return name_ + ":out"; }

    // Short MIDI messages received so far (3 bytes at most each).
    std::vector<Bytes> Received() const;

private:
    static int OnProcess(jack_nframes_t frames, void* self);

    std::string name_;
    jack_client_t* client_ = nullptr;
    jack_port_t* midiIn_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::array<double, 128> gains_{};
    // Process thread:
    double phase_ = 0.0;
    double amplitude_ = 0.0;
    double target_ = 0.0;
    int key_ = -1;
    // Received messages: written by the process thread, read after an acquire of count_.
    static constexpr std::size_t kKept = 4096;
    std::array<std::array<std::uint8_t, 4>, kKept> kept_{};
    std::atomic<std::size_t> count_{0};
};

} // namespace velomire::e2e
