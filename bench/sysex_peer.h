#pragma once

#include "e2e/jack_harness.h"

#include <jack/jack.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velomire::bench {

// A JACK client that plays numbered SysEx messages of one length, one per period, and keeps
// every SysEx event that comes back exactly as its port delivered it (a message split into
// pieces arrives as several events), stamped with JACK frame times on both sides. Port
// "out" plays, port "in" records. The process callback neither locks nor allocates; the
// store for what comes back is allocated and touched up front.
class SysExPeer {
public:
    SysExPeer(std::string clientName, std::size_t count, std::size_t length);
    ~SysExPeer();
    SysExPeer(const SysExPeer&) = delete;
    SysExPeer& operator=(const SysExPeer&) = delete;

    bool Open(std::string& error);
    void Close();

    std::string OutPortName() const { return name_ + ":out"; }
    std::string InPortName() const { return name_ + ":in"; }
    std::size_t Length() const { return length_; }

    // Message `index` as it is played: F0 7D, the index in two 7-bit bytes, bytes that
    // depend on both the index and their place, F7.
    void Fill(std::size_t index, std::uint8_t* bytes) const;

    // Plays all `count` messages, one per period, each at its own offset in its period.
    void Play();
    std::size_t SentCount() const { return sent_.load(std::memory_order_acquire); }
    jack_nframes_t SentFrame(std::size_t i) const { return sentFrames_[i]; }

    struct Event {
        jack_nframes_t frame = 0;
        std::size_t size = 0; // on the wire; at most Length() bytes are kept
        const std::uint8_t* bytes = nullptr;
    };
    std::size_t ArrivedCount() const { return arrived_.load(std::memory_order_acquire); }
    Event Arrived(std::size_t i) const;
    // Events that were not SysEx (what Velomire sends when its ports change), and SysEx
    // events past the store.
    std::uint64_t Others() const { return others_.load(std::memory_order_relaxed); }
    std::uint64_t Overflow() const { return overflow_.load(std::memory_order_relaxed); }
    // Periods in which the message did not fit the output buffer (it is tried again).
    std::uint64_t SendRefused() const { return refused_.load(std::memory_order_relaxed); }
    // The largest event an empty output buffer takes, as the first period found it.
    std::size_t MaxEventSize() const { return maxEvent_.load(std::memory_order_relaxed); }

    std::vector<std::string> Connections(const std::string& port) const;

private:
    static int OnProcess(jack_nframes_t frames, void* self);
    void Process(jack_nframes_t frames);

    std::string name_;
    std::size_t count_;
    std::size_t length_;
    e2e::PeerClient jack_;

    std::unique_ptr<jack_nframes_t[]> sentFrames_;
    std::atomic<bool> playing_{false};
    std::atomic<std::size_t> sent_{0};

    std::unique_ptr<std::uint8_t[]> store_; // count_ slots of length_ bytes
    std::unique_ptr<jack_nframes_t[]> arrivedFrames_;
    std::unique_ptr<std::size_t[]> arrivedSizes_;
    std::atomic<std::size_t> arrived_{0};
    std::atomic<std::uint64_t> others_{0};
    std::atomic<std::uint64_t> overflow_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::size_t> maxEvent_{0};
};

} // namespace velomire::bench
