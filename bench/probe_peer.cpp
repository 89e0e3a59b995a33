#include "probe_peer.h"

#include "e2e/jack_harness.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace velomire::bench {

ProbePeer::ProbePeer(std::string clientName)
    // Zeroed, so every page is touched here: the process thread must not page-fault.
    : name_(std::move(clientName)), probes_(new Probe[kCapacity]),
      sentFrames_(new jack_nframes_t[kCapacity]()), arrivals_(new Arrival[kCapacity]) {}

ProbePeer::~ProbePeer() {
    Close();
}

bool ProbePeer::Open(std::string& error) {
    return jack_.Open(name_, &ProbePeer::OnProcess, this, error, [this](jack_client_t* client) {
        jack_set_xrun_callback(client, &ProbePeer::OnXRun, this);
        jack_set_client_registration_callback(client, &ProbePeer::OnClient, this);
    });
}

int ProbePeer::OnXRun(void* self) {
    auto* peer = static_cast<ProbePeer*>(self);
    const Time now = std::chrono::steady_clock::now();
    std::lock_guard lock(peer->noticesLock_);
    peer->xruns_.push_back(now);
    return 0;
}

void ProbePeer::OnClient(const char* name, int registered, void* self) {
    auto* peer = static_cast<ProbePeer*>(self);
    const Time now = std::chrono::steady_clock::now();
    std::lock_guard lock(peer->noticesLock_);
    peer->clients_.push_back({name ? name : "", registered != 0, now});
}

std::size_t ProbePeer::XRunsBetween(Time from, Time to) const {
    std::lock_guard lock(noticesLock_);
    return static_cast<std::size_t>(
        std::count_if(xruns_.begin(), xruns_.end(), [&](Time t) { return t >= from && t < to; }));
}

std::size_t ProbePeer::XRuns() const {
    std::lock_guard lock(noticesLock_);
    return xruns_.size();
}

ProbePeer::Lifetime ProbePeer::ClientLifetime(const std::string& prefix, Time after) const {
    Lifetime life;
    std::map<std::string, bool> present; // by name: JACK gives a taken name a suffix
    std::lock_guard lock(noticesLock_);
    for (const ClientEvent& e : clients_) {
        if (e.at < after || e.name.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (e.registered) {
            if (!life.seen)
                life.appeared = e.at;
            life.seen = true;
            present[e.name] = true;
        } else if (present.count(e.name)) {
            present[e.name] = false;
            life.gone = e.at;
        }
    }
    life.closed = life.seen && std::none_of(present.begin(), present.end(),
                                            [](const auto& p) { return p.second; });
    if (life.seen && !life.closed)
        life.gone = std::chrono::steady_clock::now();
    return life;
}

void ProbePeer::Close() {
    jack_.Close();
}

long ProbePeer::Play(const std::vector<Probe>& probes, unsigned gapPeriods) {
    const std::size_t first = queued_.load(std::memory_order_relaxed);
    if (first + probes.size() > kCapacity)
        return -1;
    // The process thread reads only slots below queued_, so these are ours until published.
    std::copy(probes.begin(), probes.end(), probes_.get() + first);
    gap_.store(std::max(gapPeriods, 1u), std::memory_order_relaxed);
    queued_.store(first + probes.size(), std::memory_order_release);
    return static_cast<long>(first);
}

std::vector<std::string> ProbePeer::Connections(const std::string& port) const {
    return jack_.Connections(port);
}

double ProbePeer::LatestStartMicros() const {
    if (!jack_.client)
        return 0;
    return 1e6 * static_cast<double>(latestStart_.load(std::memory_order_relaxed)) /
           static_cast<double>(jack_get_sample_rate(jack_.client));
}

jack_nframes_t ProbePeer::BufferSize() const {
    return jack_.client ? jack_get_buffer_size(jack_.client) : 0;
}

int ProbePeer::OnProcess(jack_nframes_t frames, void* self) {
    static_cast<ProbePeer*>(self)->Process(frames);
    return 0;
}

// Process thread: no locks, no allocation.
void ProbePeer::Process(jack_nframes_t frames) {
    if (thread_.load(std::memory_order_relaxed) == 0) // once
        thread_.store(static_cast<pid_t>(::syscall(SYS_gettid)), std::memory_order_relaxed);
    const jack_nframes_t late = jack_frames_since_cycle_start(jack_.client);
    if (late > latestStart_.load(std::memory_order_relaxed))
        latestStart_.store(late, std::memory_order_relaxed);
    cycles_.fetch_add(1, std::memory_order_relaxed);
    const jack_nframes_t base = jack_last_frame_time(jack_.client);

    void* out = jack_port_get_buffer(jack_.out, frames);
    jack_midi_clear_buffer(out);
    const std::size_t next = sent_.load(std::memory_order_relaxed);
    ++sinceLast_;
    if (next < queued_.load(std::memory_order_acquire) &&
        sinceLast_ >= gap_.load(std::memory_order_relaxed)) {
        const Probe& p = probes_[next];
        const jack_nframes_t offset = std::min(p.offset, frames - 1);
        if (jack_midi_event_write(out, offset, p.bytes.data(), p.size) == 0) {
            sentFrames_[next] = base + offset;
            sent_.store(next + 1, std::memory_order_release);
            sinceLast_ = 0;
        }
    }

    void* in = jack_port_get_buffer(jack_.in, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    std::size_t arrived = arrived_.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) != 0)
            continue;
        if (event.size == 0 || event.size > 3 || arrived >= kCapacity) {
            ignored_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        Arrival& a = arrivals_[arrived];
        a.frame = base + event.time;
        a.size = static_cast<std::uint8_t>(event.size);
        a.bytes = {};
        std::memcpy(a.bytes.data(), event.buffer, event.size);
        arrived_.store(++arrived, std::memory_order_release);
    }
}

} // namespace velomire::bench
