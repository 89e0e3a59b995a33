#include "sysex_peer.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cstring>

namespace velomire::bench {

SysExPeer::SysExPeer(std::string clientName, std::size_t count, std::size_t length)
    : name_(std::move(clientName)), count_(count), length_(std::max<std::size_t>(length, 6)),
      sentFrames_(new jack_nframes_t[count]()), store_(new std::uint8_t[count * length_]()),
      arrivedFrames_(new jack_nframes_t[count]()), arrivedSizes_(new std::size_t[count]()) {}

SysExPeer::~SysExPeer() {
    Close();
}

bool SysExPeer::Open(std::string& error) {
    return jack_.Open(name_, &SysExPeer::OnProcess, this, error);
}

void SysExPeer::Close() {
    jack_.Close();
}

void SysExPeer::Fill(std::size_t index, std::uint8_t* bytes) const {
    bytes[0] = 0xF0;
    bytes[1] = 0x7D; // for non-commercial use
    bytes[2] = static_cast<std::uint8_t>((index >> 7) & 0x7F);
    bytes[3] = static_cast<std::uint8_t>(index & 0x7F);
    // A piece of one message in the place of another's shows as a difference.
    for (std::size_t j = 4; j + 1 < length_; ++j)
        bytes[j] = static_cast<std::uint8_t>((j * 7 + index * 13) & 0x7F);
    bytes[length_ - 1] = 0xF7;
}

void SysExPeer::Play() {
    playing_.store(true, std::memory_order_release);
}

SysExPeer::Event SysExPeer::Arrived(std::size_t i) const {
    return {arrivedFrames_[i], arrivedSizes_[i], store_.get() + i * length_};
}

std::vector<std::string> SysExPeer::Connections(const std::string& port) const {
    return jack_.Connections(port);
}

int SysExPeer::OnProcess(jack_nframes_t frames, void* self) {
    static_cast<SysExPeer*>(self)->Process(frames);
    return 0;
}

// Process thread: no locks, no allocation.
void SysExPeer::Process(jack_nframes_t frames) {
    const jack_nframes_t base = jack_last_frame_time(jack_.client);

    void* out = jack_port_get_buffer(jack_.out, frames);
    jack_midi_clear_buffer(out);
    if (maxEvent_.load(std::memory_order_relaxed) == 0)
        maxEvent_.store(jack_midi_max_event_size(out), std::memory_order_relaxed);
    const std::size_t next = sent_.load(std::memory_order_relaxed);
    if (playing_.load(std::memory_order_acquire) && next < count_) {
        // Offsets spread over the period, so the latency is seen at every one.
        const jack_nframes_t offset = static_cast<jack_nframes_t>((next * 37) % frames);
        if (jack_midi_max_event_size(out) < length_) {
            refused_.fetch_add(1, std::memory_order_relaxed);
        } else if (jack_midi_data_t* event = jack_midi_event_reserve(out, offset, length_)) {
            Fill(next, event);
            sentFrames_[next] = base + offset;
            sent_.store(next + 1, std::memory_order_release);
        } else {
            refused_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    void* in = jack_port_get_buffer(jack_.in, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    std::size_t arrived = arrived_.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) != 0)
            continue;
        // A piece that continues a SysEx starts with a data byte.
        if (event.size == 0 || (event.buffer[0] != 0xF0 && event.buffer[0] >= 0x80)) {
            others_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (arrived >= count_) {
            overflow_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        std::memcpy(store_.get() + arrived * length_, event.buffer, std::min(event.size, length_));
        arrivedFrames_[arrived] = base + event.time;
        arrivedSizes_[arrived] = event.size;
        arrived_.store(++arrived, std::memory_order_release);
    }
}

} // namespace velomire::bench
