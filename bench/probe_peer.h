#pragma once

#include "e2e/jack_harness.h"

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velomire::bench {

// One short message to play at a chosen frame offset of its period.
struct Probe {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t size = 0;
    jack_nframes_t offset = 0;
};

// One short message as it came back, stamped with its frame time.
struct Arrival {
    jack_nframes_t frame = 0;
    std::uint8_t size = 0;
    std::array<std::uint8_t, 3> bytes{};
};

// A JACK client that plays probes one at a time, every few periods, and stamps both what
// it sends and what comes back with JACK frame times, so a latency is the difference of
// two frame counts of the same clock. (The end-to-end peer records only arrivals.) Port
// "out" plays, port "in" records. The process callback neither locks nor allocates.
//
// It also keeps what the server announces to every client, stamped when the notice comes:
// each xrun (the server calls every client's xrun callback for a cycle that ran past its
// time or a client that had not finished), and clients coming and going, so that xruns can
// be counted over a target's life.
class ProbePeer {
public:
    using Time = std::chrono::steady_clock::time_point;
    // From the first client registered under a name prefix to the last of them gone.
    struct Lifetime {
        bool seen = false;
        bool closed = false; // all of them gone; otherwise `gone` is the time of the question
        Time appeared{};
        Time gone{};
    };

    // Room for every probe of a whole benchmark run (runs x modes x probes).
    static constexpr std::size_t kCapacity = 1u << 18;

    explicit ProbePeer(std::string clientName);
    ~ProbePeer();
    ProbePeer(const ProbePeer&) = delete;
    ProbePeer& operator=(const ProbePeer&) = delete;

    bool Open(std::string& error);
    void Close();

    std::string OutPortName() const { return name_ + ":out"; }
    std::string InPortName() const { return name_ + ":in"; }

    // Queues probes behind those already queued; one leaves every `gapPeriods` periods.
    // Returns the index of the first of them, or -1 when they do not fit.
    long Play(const std::vector<Probe>& probes, unsigned gapPeriods);
    std::size_t SentCount() const { return sent_.load(std::memory_order_acquire); }
    // Only for i < SentCount().
    jack_nframes_t SentFrame(std::size_t i) const { return sentFrames_[i]; }

    std::size_t ArrivedCount() const { return arrived_.load(std::memory_order_acquire); }
    // Only for i < ArrivedCount().
    const Arrival& Arrived(std::size_t i) const { return arrivals_[i]; }
    // Arrivals dropped: longer than three bytes, or past kCapacity.
    std::uint64_t Ignored() const { return ignored_.load(std::memory_order_relaxed); }

    // Periods this client has run, and the latest it began one, in microseconds after the
    // period's start, since the last ResetLateness: a late start shows the machine kept the
    // real-time threads waiting.
    std::uint64_t Cycles() const { return cycles_.load(std::memory_order_relaxed); }
    double LatestStartMicros() const;
    void ResetLateness() { latestStart_.store(0, std::memory_order_relaxed); }

    // Xruns announced in [from, to).
    std::size_t XRunsBetween(Time from, Time to) const;
    std::size_t XRuns() const;
    // The clients whose names begin with `prefix` that registered at or after `after`.
    Lifetime ClientLifetime(const std::string& prefix, Time after) const;
    // The kernel's id of the thread that runs this client's process callback; 0 until it ran.
    pid_t ProcessThread() const { return thread_.load(std::memory_order_relaxed); }

    // Full names of the ports connected to one of ours.
    std::vector<std::string> Connections(const std::string& port) const;
    jack_nframes_t BufferSize() const;

private:
    static int OnProcess(jack_nframes_t frames, void* self);
    void Process(jack_nframes_t frames);
    static int OnXRun(void* self);
    static void OnClient(const char* name, int registered, void* self);

    struct ClientEvent {
        std::string name;
        bool registered;
        Time at;
    };

    std::string name_;
    e2e::PeerClient jack_;

    std::unique_ptr<Probe[]> probes_;
    std::unique_ptr<jack_nframes_t[]> sentFrames_;
    std::atomic<std::size_t> queued_{0}; // written by the benchmark thread
    std::atomic<std::size_t> sent_{0};   // written by the process thread
    std::atomic<unsigned> gap_{1};
    unsigned sinceLast_ = 0; // process thread only

    std::unique_ptr<Arrival[]> arrivals_;
    std::atomic<std::size_t> arrived_{0};
    std::atomic<std::uint64_t> ignored_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<jack_nframes_t> latestStart_{0}; // frames into the period
    std::atomic<pid_t> thread_{0};

    // Written by libjack's notification thread, which is not real-time.
    mutable std::mutex noticesLock_;
    std::vector<Time> xruns_;
    std::vector<ClientEvent> clients_;
};

} // namespace velomire::bench
