#pragma once

#include "midi/midi_backend.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velomire {

// One JACK client of Velomire's, written on libjack directly. Output that does not fit
// into one period's port buffer waits for the next period instead of being dropped, and
// a client whose server went away is replaced by a fresh one as soon as a server runs
// again, so reselecting a device after a JACK restart just works.
//
// Each direction has a client of its own: with one client for both, a program that plays
// into Velomire and also listens to it (a2jmidid, a patchbay bridge) would close a loop
// in JACK's graph, and JACK runs a loop by delaying one of its connections a period.
//
// Threads: everything but the callbacks runs on one thread (the UI thread). The process
// callback runs on JACK's real-time thread and shares only the output ring (UI thread
// writes, RT thread reads) and the atomics below. The shutdown callback sets dead_ and
// posts the death notice, if any, to the UI thread. Closing calls that wait for the
// server run on a helper thread and are given up after a deadline (see CloseOutput).
class JackClient {
public:
    // Bytes the UI thread may queue ahead of the RT thread: seconds of the densest traffic,
    // and three of the longest SysEx.
    static constexpr std::size_t kRingBytes = std::size_t{1} << 20;
    static_assert(kRingBytes >= 3 * (kMaxSysExBytes + 4));

    // Connects to a running server (never starts one); Alive() tells whether it did.
    // Quiet: a server that is not there is not an error.
    JackClient();
    // Only for a client that Shut() closed (or never connected): libjack may still call
    // one that it did not.
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    // False when not connected, once the server has gone away, and once it has left a
    // call unanswered.
    bool Alive() const;
    // Closes the ports and the client, each within its deadline. False when the server
    // left a call unanswered: the client is then still open, must be kept for the rest of
    // the process and never used again.
    bool Shut();
    // Closes the client when its server has gone away (its ports went with it), so that
    // Reopen can connect afresh. True when it did.
    bool DropIfDead();
    // Connects when not connected; true when alive afterwards.
    bool Reopen();
    // Has `notice` run on `receiver`'s thread once the server has gone away. Set once,
    // from the thread that uses the client.
    void OnDeath(QObject* receiver, std::function<void()> notice);

    // MIDI ports of other clients that send (sources) or receive (targets), as
    // "client:port"; Velomire's own ports are left out.
    std::vector<std::string> Sources();
    std::vector<std::string> Targets();

    // Registers the input port and connects `source` to it; the sink then gets every
    // event on the RT thread.
    bool OpenInput(const std::string& source, MidiInputSink* sink);
    void CloseInput();

    // Registers the output port and connects it to `target` (empty: none, others connect
    // to it themselves).
    bool OpenOutput(const std::string& target);
    // Lets queued messages leave for up to kFlushTimeout, discards the rest, then
    // disconnects and unregisters the port within kServerAnswerTimeout. A server that
    // stopped running periods (SIGSTOP, a hung driver) costs at most the sum.
    void CloseOutput();
    // Queues one message for the next period. Never waits: a full ring drops. A SysEx
    // larger than a port buffer holds (32 KiB with JACK 2) leaves in consecutive events,
    // one per period, the first holding F0 and the last F7, as a cable would carry it.
    void Send(const std::uint8_t* data, std::size_t size);

    std::string OutputPortName() const;
    // Messages that will not leave: the ring was full when sent, or (never seen) an empty
    // port buffer refused one.
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Messages Send queued, and how many of them, oldest first, the RT thread has moved
    // into a port buffer; both counted since the client was made.
    std::uint64_t Queued() const { return queued_.load(std::memory_order_acquire); }
    std::uint64_t Taken() const { return taken_.load(std::memory_order_acquire); }

private:
    bool Open();
    void Release();
    std::vector<std::string> OthersPorts(unsigned long flags);

    static int OnProcess(jack_nframes_t frames, void* self);
    static void OnShutdown(void* self);
    void ReadInput(jack_port_t* port, jack_nframes_t frames);
    void WriteQueued(void* buffer, jack_nframes_t frames);

    jack_client_t* client_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
    std::string name_;
    bool outputOpen_ = false;

    // Registered ports, published to the RT thread; null while closed.
    std::atomic<jack_port_t*> inPort_{nullptr};
    std::atomic<jack_port_t*> outPort_{nullptr};
    std::atomic<MidiInputSink*> sink_{nullptr};
    // True while the RT thread may be using the ports, the sink and the ring.
    std::atomic<bool> inProcess_{false};
    std::atomic<bool> dead_{false};
    std::function<void()> deathNotice_;
    std::atomic<QObject*> deathReceiver_{nullptr}; // published after deathNotice_ is set
    // Process callbacks completed; lets CloseOutput see a period pass.
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> queued_{0};
    std::atomic<std::uint64_t> taken_{0};
    // RT thread while the output port is published, else the UI thread: bytes of the oldest
    // queued message already sent (a SysEx leaving in pieces).
    std::size_t partial_ = 0;
};

// The JACK MIDI system: a client for each direction, each with one port, so the system
// serves one input and one output backend at a time.
class JackMidiSystem final : public MidiSystem {
public:
    // `output` is connected; the input's client is opened here.
    explicit JackMidiSystem(std::unique_ptr<JackClient> output);
    // Shuts both clients; one the server left unanswered is kept, unused, until the process
    // ends, so that libjack never calls into a destroyed object.
    ~JackMidiSystem() override;
    // After the server went away: replaces both clients once a server runs again.
    void Reconnect();
    std::unique_ptr<MidiInputBackend> CreateInput() override;
    std::unique_ptr<MidiOutputBackend> CreateOutput() override;
    std::string Name() const override { return "JACK"; }

private:
    // Closes the clients of a server that went away as soon as that is noticed, on the
    // thread that uses them. Left for later, they could be gone already: libjack closes and
    // frees such clients itself the next time any client in this process connects to a
    // (restarted) server.
    void WatchForDeath();
    void DropDead();

    // Lives on the thread that uses the backends; made with the first of them.
    std::unique_ptr<QObject> watcher_;
    // The output's client is opened first, so that it gets the plain name and the virtual
    // port others connect to is "Velomire:Velomire Out". Destroyed before the watcher.
    std::unique_ptr<JackClient> output_;
    std::unique_ptr<JackClient> input_;
};

} // namespace velomire
