#include "midi/jack_output.h"

#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace velomire {

namespace {

// Each queued message is its length followed by its bytes.
using Header = std::uint32_t;
constexpr std::size_t kHeaderBytes = sizeof(Header);

// How long Close lets queued messages leave before the port goes (a panic sent on exit
// must arrive), without hanging on a server that has stopped running periods.
constexpr auto kFlushTimeout = std::chrono::seconds(1);

// Copies between a flat buffer and the (up to two) pieces of a ring region, starting
// `offset` bytes into the region. RT-safe.
void CopyFromRing(const jack_ringbuffer_data_t (&region)[2], std::size_t offset, void* to,
                  std::size_t size) {
    auto* out = static_cast<char*>(to);
    for (const jack_ringbuffer_data_t& piece : region) {
        if (size == 0)
            return;
        if (offset >= piece.len) {
            offset -= piece.len;
            continue;
        }
        const std::size_t n = std::min(size, piece.len - offset);
        std::memcpy(out, piece.buf + offset, n);
        out += n;
        size -= n;
        offset = 0;
    }
}

void CopyToRing(const jack_ringbuffer_data_t (&region)[2], std::size_t offset, const void* from,
                std::size_t size) {
    const auto* in = static_cast<const char*>(from);
    for (const jack_ringbuffer_data_t& piece : region) {
        if (size == 0)
            return;
        if (offset >= piece.len) {
            offset -= piece.len;
            continue;
        }
        const std::size_t n = std::min(size, piece.len - offset);
        std::memcpy(piece.buf + offset, in, n);
        in += n;
        size -= n;
        offset = 0;
    }
}

// The MIDI input ports of other clients, as "client:port" (the names RtMidi gives them, which
// settings files store).
std::vector<std::string> ListTargets(jack_client_t* client) {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (!ports)
        return names;
    for (const char** p = ports; *p; ++p) {
        std::string name(*p);
        if (!name.empty() && !IsOwnPort(name))
            names.push_back(std::move(name));
    }
    jack_free(static_cast<void*>(ports));
    return names;
}

} // namespace

JackOutput::JackOutput() {
    jack_status_t status{};
    client_ = jack_client_open(kClientName, JackNoStartServer, &status);
    if (!client_)
        return;
    ring_ = jack_ringbuffer_create(kRingBytes);
    if (ring_) {
        // Keeps the RT thread from page faults; without the privilege it still works.
        jack_ringbuffer_mlock(ring_);
    }
    // Callbacks can only be set before activation.
    if (ring_)
        jack_on_shutdown(client_, &JackOutput::OnShutdown, this);
    if (!ring_ || jack_set_process_callback(client_, &JackOutput::OnProcess, this) != 0 ||
        jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
        if (ring_)
            jack_ringbuffer_free(ring_);
        ring_ = nullptr;
        return;
    }
    // JACK appends a suffix when another client (our own input) already has the name.
    clientName_ = jack_get_client_name(client_);
}

JackOutput::~JackOutput() {
    Close();
    // A client whose server went away is left alone: libjack may no longer reach it.
    if (client_ && !dead_.load(std::memory_order_acquire)) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    // The RT thread no longer runs: deactivated, or stopped before the shutdown callback.
    if (ring_)
        jack_ringbuffer_free(ring_);
}

// UI thread.
std::vector<std::string> JackOutput::DeviceNames() {
    names_ = Alive() ? ListTargets(client_) : std::vector<std::string>{};
    return names_;
}

// UI thread.
bool JackOutput::Open(int index) {
    Close();
    if (!Alive())
        return false;
    std::string target;
    if (index != -1) {
        if (index < 0 || index >= static_cast<int>(names_.size()))
            return false;
        target = names_[static_cast<std::size_t>(index)];
        // Found afresh: the device may have gone since the list was made.
        const std::vector<std::string> now = ListTargets(client_);
        if (std::find(now.begin(), now.end(), target) == now.end())
            return false;
    }
    jack_port_t* port =
        jack_port_register(client_, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port)
        return false;
    // Published before connecting, so the port buffer is ours (cleared) in every period a
    // reader can see it.
    port_.store(port, std::memory_order_seq_cst);
    open_ = true;
    if (!target.empty() && jack_connect(client_, jack_port_name(port), target.c_str()) != 0) {
        Close();
        return false;
    }
    return true;
}

// UI thread.
void JackOutput::Close() {
    if (!open_)
        return;
    open_ = false;
    if (!dead_.load(std::memory_order_acquire)) {
        // Let what was sent leave first, then one more period so that the readers of the
        // period that took the last message have run.
        const auto deadline = std::chrono::steady_clock::now() + kFlushTimeout;
        auto waitUntil = [&](auto done) {
            while (!done() && !dead_.load(std::memory_order_acquire) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        waitUntil([&] { return jack_ringbuffer_read_space(ring_) == 0; });
        const std::uint64_t seen = cycles_.load(std::memory_order_acquire);
        waitUntil([&] { return cycles_.load(std::memory_order_acquire) >= seen + 2; });
    }
    Unregister();
}

// UI thread.
void JackOutput::Unregister() {
    jack_port_t* port = port_.exchange(nullptr, std::memory_order_seq_cst);
    // Once the RT thread is outside its callback it can only see the null port, so the
    // ring and the port are ours alone from here on.
    while (inProcess_.load(std::memory_order_seq_cst))
        std::this_thread::yield();
    // What did not leave in time is not sent to the next destination.
    jack_ringbuffer_read_advance(ring_, jack_ringbuffer_read_space(ring_));
    if (port && !dead_.load(std::memory_order_acquire)) {
        jack_port_disconnect(client_, port);
        jack_port_unregister(client_, port);
    }
}

// UI thread. Never waits: a full ring (the server has stopped running periods) drops.
void JackOutput::Send(const std::uint8_t* data, std::size_t size) {
    if (!open_ || !data || size == 0 || dead_.load(std::memory_order_acquire))
        return;
    const std::size_t total = kHeaderBytes + size;
    if (jack_ringbuffer_write_space(ring_) < total) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    jack_ringbuffer_data_t region[2];
    jack_ringbuffer_get_write_vector(ring_, region);
    const auto header = static_cast<Header>(size);
    CopyToRing(region, 0, &header, kHeaderBytes);
    CopyToRing(region, kHeaderBytes, data, size);
    // Header and bytes become visible together: the RT thread never sees half a message.
    std::atomic_thread_fence(std::memory_order_release);
    jack_ringbuffer_write_advance(ring_, total);
}

std::string JackOutput::VirtualPortName() {
    return (clientName_.empty() ? std::string(kClientName) : clientName_) + ":" + kOutputPortName;
}

// RT thread: no locks, no allocation, no JACK calls that print.
int JackOutput::OnProcess(jack_nframes_t frames, void* self) {
    auto* out = static_cast<JackOutput*>(self);
    out->inProcess_.store(true, std::memory_order_seq_cst);
    if (jack_port_t* port = out->port_.load(std::memory_order_seq_cst); port && frames > 0) {
        if (void* buffer = jack_port_get_buffer(port, frames)) {
            jack_midi_clear_buffer(buffer);
            out->WriteQueued(buffer, frames);
        }
    }
    out->cycles_.fetch_add(1, std::memory_order_release);
    out->inProcess_.store(false, std::memory_order_seq_cst);
    return 0;
}

// RT thread. Moves queued messages into this period's port buffer, oldest first, until the
// ring is empty or the buffer is full; the rest stays queued for the next period.
void JackOutput::WriteQueued(void* buffer, jack_nframes_t frames) {
    jack_nframes_t written = 0;
    while (jack_ringbuffer_read_space(ring_) >= kHeaderBytes) {
        std::atomic_thread_fence(std::memory_order_acquire);
        jack_ringbuffer_data_t region[2];
        jack_ringbuffer_get_read_vector(ring_, region);
        Header size = 0;
        CopyFromRing(region, 0, &size, kHeaderBytes);
        const std::size_t total = kHeaderBytes + size;
        // Checked first: a failed reserve makes libjack print from this thread.
        jack_midi_data_t* event = nullptr;
        if (jack_midi_max_event_size(buffer) >= size) {
            // Spread over the period, then sharing its last frame; never decreasing.
            const jack_nframes_t offset = std::min(written, frames - 1);
            event = jack_midi_event_reserve(buffer, offset, size);
        }
        if (!event) {
            if (written > 0)
                return; // the buffer is full for this period
            // Not even an empty port buffer holds it: it can never leave.
            jack_ringbuffer_read_advance(ring_, total);
            dropped_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        CopyFromRing(region, kHeaderBytes, event, size);
        jack_ringbuffer_read_advance(ring_, total);
        ++written;
    }
}

// A JACK thread, after the client's last period.
void JackOutput::OnShutdown(void* self) {
    static_cast<JackOutput*>(self)->dead_.store(true, std::memory_order_release);
}

} // namespace velomire
