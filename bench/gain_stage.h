#pragma once

#include <jack/jack.h>

#include <array>
#include <string>

namespace velomire::bench {

// A JACK client that makes a synth uneven in level, not in pitch: it passes its audio input
// to its output with a gain that depends on the note last struck (read from its MIDI input,
// which listens to what the synth is sent). One note at a time, as a measuring run plays.
class GainStage {
public:
    explicit GainStage(std::string name);
    ~GainStage();
    GainStage(const GainStage&) = delete;
    GainStage& operator=(const GainStage&) = delete;

    // Before Open: the note's gain in dB.
    void SetGainDb(int note, double db);
    double GainDb(int note) const { return db_[static_cast<std::size_t>(note & 0x7F)]; }

    bool Open(std::string& error);
    std::string MidiInName() const { return name_ + ":midi_in"; }
    std::string AudioInName() const { return name_ + ":in"; }
    std::string AudioOutName() const { return name_ + ":out"; }
    // Connects two ports of the server (any clients'); true when connected.
    bool Connect(const std::string& from, const std::string& to);

private:
    static int OnProcess(jack_nframes_t frames, void* self);

    std::string name_;
    jack_client_t* client_ = nullptr;
    jack_port_t* midiIn_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::array<double, 128> db_{};
    std::array<float, 128> linear_{};
    float gain_ = 1.0f; // process thread
};

} // namespace velomire::bench
