#include "gain_stage.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace velomire::bench {

GainStage::GainStage(std::string name) : name_(std::move(name)) {
    linear_.fill(1.0f);
}

GainStage::~GainStage() {
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

void GainStage::SetGainDb(int note, double db) {
    db_[static_cast<std::size_t>(note & 0x7F)] = db;
    linear_[static_cast<std::size_t>(note & 0x7F)] = static_cast<float>(std::pow(10.0, db / 20.0));
}

bool GainStage::Open(std::string& error) {
    jack_status_t status{};
    client_ = jack_client_open(name_.c_str(), JackNoStartServer, &status);
    if (!client_) {
        error = "the gain stage could not reach the JACK server";
        return false;
    }
    midiIn_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!midiIn_ || !in_ || !out_ ||
        jack_set_process_callback(client_, &GainStage::OnProcess, this) != 0 ||
        jack_activate(client_) != 0) {
        error = "the gain stage could not register its ports or start";
        return false;
    }
    return true;
}

bool GainStage::Connect(const std::string& from, const std::string& to) {
    const int r = client_ ? jack_connect(client_, from.c_str(), to.c_str()) : -1;
    return r == 0 || r == EEXIST;
}

int GainStage::OnProcess(jack_nframes_t frames, void* self) {
    auto* s = static_cast<GainStage*>(self);
    void* midi = jack_port_get_buffer(s->midiIn_, frames);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(s->in_, frames));
    auto* out = static_cast<float*>(jack_port_get_buffer(s->out_, frames));
    jack_nframes_t done = 0;
    // The gain changes at the note-on's frame: the note is measured from there.
    const std::uint32_t events = jack_midi_get_event_count(midi);
    for (std::uint32_t i = 0; i <= events; ++i) {
        jack_midi_event_t e{};
        const bool last = i == events;
        if (!last && jack_midi_event_get(&e, midi, i) != 0)
            continue;
        const jack_nframes_t until = last ? frames : std::min(e.time, frames);
        for (; done < until; ++done)
            out[done] = in[done] * s->gain_;
        if (!last && e.size == 3 && (e.buffer[0] & 0xF0) == 0x90 && e.buffer[2] > 0)
            s->gain_ = s->linear_[e.buffer[1] & 0x7F];
    }
    return 0;
}

} // namespace velomire::bench
