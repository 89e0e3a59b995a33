#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velomire::e2e {

using Bytes = std::vector<std::uint8_t>;

// A private jackd (dummy driver, 48 kHz, 64-frame periods) that lives as long as this
// object. Its name is unique to this process, and JACK_DEFAULT_SERVER points libjack (and
// so RtMidi) at it; nothing ever starts a server implicitly.
class JackServer {
public:
    JackServer();
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Starts jackd and waits until a client can connect. False, with the reason in
    // `error` (including what jackd printed), when it does not come up within `timeout`.
    bool Start(std::string& error, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Terminates only the jackd this object started and reaps it; safe to call twice.
    void Stop();
    // Sends `signal` to the jackd this object started, if it runs. SIGSTOP freezes it and
    // returns once it is frozen.
    void Signal(int signal);

    const std::string& Name() const { return name_; }
    // Everything jackd wrote to stdout and stderr so far.
    std::string Output() const;

private:
    std::string name_;
    std::string logPath_;
    pid_t pid_ = -1;
};

// A test client with one MIDI port "out" and one MIDI port "in", activated with `process`.
struct PeerClient {
    jack_client_t* client = nullptr;
    jack_port_t* out = nullptr;
    jack_port_t* in = nullptr;

    // `beforeActivate` may set more callbacks: JACK takes them only before activation.
    bool Open(const std::string& name, JackProcessCallback process, void* arg, std::string& error,
              const std::function<void(jack_client_t*)>& beforeActivate = {});
    void Close();
    // Full names of the ports `port` is connected to; empty without a client.
    std::vector<std::string> Connections(const std::string& port) const;
};

// Starts argv[0] as a child that dies with this process: standard output and error go
// to outFd and errFd, standard input is /dev/null, no other descriptor is inherited except
// passFd (as descriptor 3) when not -1. envp null: this process's environment; workDir
// null: this process's folder. Returns the pid, or -1 with `error` set.
pid_t SpawnChild(const std::vector<std::string>& argv, const std::vector<std::string>* envp,
                 int outFd, int errFd, const char* workDir, int passFd, std::string& error);

// One MIDI event as the peer received it.
struct ReceivedEvent {
    static constexpr std::size_t kMaxBytes = 128;

    jack_nframes_t frame = 0; // jack_last_frame_time of its period plus its offset
    jack_time_t time = 0;     // jack_get_time() in the process callback that took it
    std::uint32_t size = 0;   // size on the wire; bytes beyond kMaxBytes are not kept
    std::array<std::uint8_t, kMaxBytes> bytes{};

    Bytes Message() const;
};

// A JACK client standing in for the instrument: port "out" plays into Velomire's input,
// port "in" records what Velomire sends. Only the test thread calls the public functions;
// the process callback neither locks nor allocates.
class JackPeer {
public:
    static constexpr std::size_t kSendCapacity = 1u << 15;
    static constexpr std::size_t kReceiveCapacity = 1u << 16;
    static constexpr std::size_t kMaxSendBytes = 256;

    explicit JackPeer(std::string clientName);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    // Opens the client under exactly its name, registers both ports and activates it.
    bool Open(std::string& error);
    // Closes the client: its ports vanish from the graph. What was received stays readable.
    void Close();
    bool IsOpen() const { return jack_.client != nullptr; }

    std::string OutPortName() const { return name_ + ":out"; }
    std::string InPortName() const { return name_ + ":in"; }

    // Queues one message for the next periods. False when the queue is full, the message
    // is empty or longer than kMaxSendBytes.
    bool Send(const Bytes& message);
    bool Send(std::initializer_list<std::uint8_t> message) { return Send(Bytes(message)); }
    // Caps the events written per period (0: as many as the port buffer takes). A message
    // that does not fit waits for the next period; none is dropped.
    void SetMaxPerPeriod(unsigned count) { maxPerPeriod_.store(count, std::memory_order_relaxed); }
    std::size_t PendingSends() const;
    // Messages that have gone out since the client was created, and the frame (of
    // jack_last_frame_time's clock) each went out at; only for i < SentCount(). The next
    // message queued gets the index SentCount() + PendingSends().
    std::size_t SentCount() const { return queueTail_.load(std::memory_order_acquire); }
    jack_nframes_t SentFrame(std::size_t i) const { return sentFrames_[i % kSendCapacity]; }
    // Periods in which the port buffer filled before the queue was empty.
    std::uint64_t BufferFullPeriods() const { return bufferFull_.load(std::memory_order_relaxed); }

    std::size_t ReceivedCount() const { return received_.load(std::memory_order_acquire); }
    // Only for i < ReceivedCount().
    const ReceivedEvent& Received(std::size_t i) const { return events_[i]; }
    std::vector<Bytes> ReceivedMessages(std::size_t from = 0) const;
    // Events that arrived after the receive buffer was full.
    std::uint64_t Lost() const { return lost_.load(std::memory_order_relaxed); }

    // Waits until at least `count` events have arrived, calling `poll` between checks (the
    // test thread is also Velomire's thread, so this is where its event loop runs).
    bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout,
                         const std::function<void()>& poll) const;

    jack_client_t* Client() const { return jack_.client; }
    jack_nframes_t BufferSize() const;

    // Graph helpers; all work on MIDI ports only.
    bool Connect(const std::string& source, const std::string& destination);
    std::vector<std::string> Ports(unsigned long flags) const;
    std::vector<std::string> Connections(const std::string& port) const;

private:
    struct Outgoing {
        std::uint16_t size;
        std::array<std::uint8_t, kMaxSendBytes> bytes;
    };

    static int OnProcess(jack_nframes_t frames, void* self);
    void WriteQueued(jack_nframes_t frames);
    void RecordIncoming(jack_nframes_t frames);

    std::string name_;
    PeerClient jack_;

    std::unique_ptr<Outgoing[]> queue_;
    std::atomic<std::size_t> queueHead_{0}; // written by the test thread
    std::atomic<std::size_t> queueTail_{0}; // written by the process thread
    std::unique_ptr<jack_nframes_t[]> sentFrames_;
    std::atomic<unsigned> maxPerPeriod_{0};
    std::atomic<std::uint64_t> bufferFull_{0};

    std::unique_ptr<ReceivedEvent[]> events_;
    std::atomic<std::size_t> received_{0};
    std::atomic<std::uint64_t> lost_{0};
};

// A program run as a child: its own working directory and environment, stdout and stderr
// captured to files. It is killed when this object goes, and dies with the test program.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // `environment` holds "NAME=value" entries; the child gets exactly these.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& workDir, std::string& error);
    bool Running();
    // The raw wait status once it has exited within `timeout`; nullopt while it runs.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    void Signal(int signal);
    // SIGKILL and reap; safe to call twice.
    void Kill();

    std::string Stdout() const;
    std::string Stderr() const;
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_;
    std::string errPath_;
};

// SIGSTOP to `pid`, returning once every thread of it has stopped (at most two seconds).
void Freeze(pid_t pid);

// This process's environment with the names in `unset` removed and `set` ("NAME=value")
// added or replaced.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& unset = {});

// "exit 0", "signal 11", ... for messages.
std::string DescribeWaitStatus(int status);

// Aborts the test program, after killing the jackd it started, when one test runs longer
// than `perTest`: a hang then fails the run instead of blocking it. Call once from main
// after InitGoogleTest.
void InstallWatchdog(std::chrono::seconds perTest);
// The running test may take this much longer (a test that plays two measuring runs).
void ExtendWatchdog(std::chrono::seconds more);

// JACK keeps its servers' registry, sockets and shared memory in /dev/shm, and a server
// that was killed leaves its entry behind; after eight such entries no server starts.
// As root, gives this process (and its children) a private, empty /dev/shm, so every
// run starts clean and leaves nothing behind. Elsewhere it does nothing.
void IsolateJackState();

} // namespace velomire::e2e
