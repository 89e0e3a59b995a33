#pragma once

#include "core/midi/midi_backend.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velomire {

// More work for each period of Velomire's client, after the MIDI: a measuring run's audio
// copy. JACK's real-time thread: no locks, no allocation, no waiting.
class JackPeriodTap {
public:
    virtual void OnPeriod(jack_nframes_t frames) = 0;

protected:
    ~JackPeriodTap() = default;
};

// The JACK MIDI system, on libjack directly: one client with one input and one output
// port. Its process callback reads the input's events, has the engine map them, and
// writes what it sends into the output's buffer of the same period at the frame each
// input event arrived at, so every message leaves after a constant delay: none in a
// plain chain, one period where a peer both plays into Velomire and listens to it (JACK
// runs such a loop by delaying one of its connections a period).
//
// Output that does not fit a period's buffer waits, in order, for the next period; a
// SysEx longer than a buffer can ever hold leaves in pieces, one buffer at a time.
//
// Opening a device connects it to Velomire's port; the ports themselves stay registered.
// When the server goes away, Revive replaces the client once a server runs again.
//
// Threads: the process callback runs on JACK's real-time thread and shares only the
// atomics below and the engine; everything else runs on the UI thread. Calls that wait for
// the server's answer are bounded (a stopped but not gone server would hang them).
class JackMidiSystem final : public MidiSystem {
public:
    // Bytes of output that may wait for later periods: seconds of the densest traffic.
    static constexpr std::size_t kCarryBytes = std::size_t{1} << 20;

    // Connects to a running server (never starts one); Alive() tells whether it did.
    JackMidiSystem();
    ~JackMidiSystem() override;

    std::string Name() const override { return "JACK"; }
    std::vector<std::string> Sources() override;
    std::vector<std::string> Targets() override;
    std::string VirtualOutputName() override;
    void Attach(RealtimeEngine* engine) override;
    bool OpenInput(const std::string& source) override;
    void CloseInput() override;
    bool OpenOutput(const std::string& target) override;
    bool CloseOutput() override;
    void SilenceOutput() override;
    // With no client (its server gone), nothing runs the callback: what the engine was asked
    // runs here, into nothing.
    void Kick() override;
    bool Alive() const override;
    bool Revive() override;
    bool Waiting() const override { return !client_ && connecting_ != nullptr; }
    void WatchDevices(std::function<void()> changed) override;
    void AwaitSent(std::chrono::milliseconds limit) override;

    // Completed periods; lets a test or a closer see time pass on the server.
    std::uint64_t Cycles() const;

    // ---- A measuring run's audio input, on this client ----
    // The client while it is alive, else null. Another client replaces it when the server
    // comes back: whoever registered a port on it compares before using the port again.
    jack_client_t* ClientForTaps() const { return Alive() ? client_ : nullptr; }
    // `tap` runs at the end of every period from the next one on (null: none); returns
    // once the callback can no longer be running the one before. A tap is dropped when
    // its client goes.
    void SetPeriodTap(JackPeriodTap* tap);

private:
    class Writer;
    // What JACK's threads touch: the process, shutdown and port callbacks get this block, not
    // the system. A client whose server stopped answering cannot be closed, and may run its
    // callback once more after the system has gone: the block is then kept, reachable.
    struct Shared;
    bool Open();
    // Registers the ports on a connected client and activates it.
    bool Setup(jack_client_t* client);
    // Runs what the process callback runs, once, on this thread, before activation.
    void Rehearse();
    // Closes a client whose server went away, at once, on the UI thread: left for later,
    // libjack may free it itself when another client in the process connects.
    void DropDead();
    void Release();
    bool Shut();
    std::vector<std::string> OthersPorts(unsigned long flags);
    void WaitOutsideProcess() const;
    void Disconnect(jack_port_t* port);

    static int OnProcess(jack_nframes_t frames, void* self);
    static void OnThreadStart(void* self);
    static void OnShutdown(void* self);
    static void OnPortRegistration(jack_port_id_t port, int registered, void* self);

    jack_client_t* client_ = nullptr;
    std::string name_;
    struct Attempt;
    std::shared_ptr<Attempt> connecting_;  // a try to reach a server, under way or ended
    std::unique_ptr<QObject> watcher_;     // on the UI thread; receives the death notice
    std::function<void()> devicesChanged_; // UI thread
    bool outputChosen_ = false;            // connected (or the virtual port) until closed
    Shared* rt_;                           // owned; kept at the end if a client may still run
};

} // namespace velomire
