#pragma once

#include "midi/midi_backend.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velomire {

// Velomire's output on JACK, written on libjack directly so that a burst of any size
// leaves whole: what does not fit into one period's port buffer waits for the next period
// instead of being dropped.
//
// Threads: the constructor, the destructor and every MidiOutputBackend call run on one
// thread (the UI thread). The process callback runs on JACK's real-time thread and shares
// only the ring (UI thread writes, RT thread reads) and the atomics below with it. The
// shutdown callback runs on a JACK thread and only sets dead_.
class JackOutput final : public MidiOutputBackend {
public:
    // Bytes the UI thread may queue ahead of the RT thread: seconds of the densest traffic.
    static constexpr std::size_t kRingBytes = std::size_t{1} << 20;

    // Opens the JACK client (never starts a server). On failure the object lists nothing
    // and every Open fails.
    JackOutput();
    ~JackOutput() override;
    JackOutput(const JackOutput&) = delete;
    JackOutput& operator=(const JackOutput&) = delete;

    std::vector<std::string> DeviceNames() override;
    bool Open(int index) override;
    void Close() override;
    void Send(const std::uint8_t* data, std::size_t size) override;
    std::string VirtualPortName() override;

    // Messages that could not be sent: the ring was full, or a SysEx is larger than a
    // JACK port buffer can ever hold.
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // False once the client could not be opened or the server went away.
    bool SystemAlive() const override { return !dead_.load(std::memory_order_acquire); }
    bool Alive() const { return client_ != nullptr && !dead_.load(std::memory_order_acquire); }

private:
    static int OnProcess(jack_nframes_t frames, void* self);
    static void OnShutdown(void* self);
    void WriteQueued(void* buffer, jack_nframes_t frames);
    void Unregister();

    jack_client_t* client_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
    std::string clientName_;
    std::vector<std::string> names_;
    bool open_ = false;

    // The registered port, published to the RT thread; null while closed.
    std::atomic<jack_port_t*> port_{nullptr};
    // True while the RT thread may be using port_ and the ring (see Unregister).
    std::atomic<bool> inProcess_{false};
    std::atomic<bool> dead_{false};
    // Process callbacks completed; lets Close see a period pass.
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace velomire
