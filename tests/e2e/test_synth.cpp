#include "e2e/test_synth.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velomire::e2e {

TestSynth::TestSynth(std::string name) : name_(std::move(name)) {}

TestSynth::~TestSynth() {
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

bool TestSynth::Open(std::string& error) {
    jack_status_t status{};
    client_ = jack_client_open(name_.c_str(), JackNoStartServer, &status);
    if (!client_) {
        error = "the test synth could not reach the JACK server";
        return false;
    }
    midiIn_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!midiIn_ || !out_ || jack_set_process_callback(client_, &TestSynth::OnProcess, this) != 0 ||
        jack_activate(client_) != 0) {
        error = "the test synth could not register its ports or start";
        return false;
    }
    return true;
}

std::vector<Bytes> TestSynth::Received() const {
    const std::size_t n = std::min(count_.load(std::memory_order_acquire), kKept);
    std::vector<Bytes> all;
    for (std::size_t i = 0; i < n; ++i)
        all.emplace_back(kept_[i].begin() + 1, kept_[i].begin() + 1 + kept_[i][0]);
    return all;
}

int TestSynth::OnProcess(jack_nframes_t frames, void* self) {
    auto* s = static_cast<TestSynth*>(self);
    void* midi = jack_port_get_buffer(s->midiIn_, frames);
    const std::uint32_t events = jack_midi_get_event_count(midi);
    for (std::uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) != 0 || e.size == 0 || e.size > 3)
            continue;
        const std::size_t at = s->count_.load(std::memory_order_relaxed);
        if (at < kKept) {
            s->kept_[at][0] = static_cast<std::uint8_t>(e.size);
            std::copy(e.buffer, e.buffer + e.size, s->kept_[at].begin() + 1);
            s->count_.store(at + 1, std::memory_order_release);
        }
        const std::uint8_t kind = e.buffer[0] & 0xF0;
        if (kind == 0x90 && e.size == 3 && e.buffer[2] > 0) {
            s->key_ = e.buffer[1];
            s->target_ = s->gains_[e.buffer[1] & 0x7F] * VelocityLaw(e.buffer[2]);
            s->amplitude_ = s->target_;
        } else if ((kind == 0x80 || kind == 0x90) && e.size == 3 && e.buffer[1] == s->key_) {
            s->target_ = 0.0;
        } else if (kind == 0xB0 && e.size == 3 && e.buffer[1] == 123) {
            s->target_ = 0.0;
        }
    }
    auto* out = static_cast<float*>(jack_port_get_buffer(s->out_, frames));
    const double rate = jack_get_sample_rate(s->client_);
    const double step = 2.0 * std::numbers::pi * kFrequency / rate;
    const double fade = 1.0 / (0.005 * rate);
    for (jack_nframes_t i = 0; i < frames; ++i) {
        if (s->amplitude_ > s->target_)
            s->amplitude_ = std::max(s->target_, s->amplitude_ - fade);
        out[i] = static_cast<float>(s->amplitude_ * std::sin(s->phase_));
        s->phase_ = std::fmod(s->phase_ + step, 2.0 * std::numbers::pi);
    }
    return 0;
}

} // namespace velomire::e2e
