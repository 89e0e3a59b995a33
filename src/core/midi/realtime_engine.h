#pragma once

#include "core/midi/lock_free.h"
#include "core/midi/message_path.h"
#include "core/midi/midi_backend.h"
#include "core/midi/sysex_queue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace velomire {

// What the path tells the window, one key at a time: the key played (`in`, with its raw
// velocity) and the key that sounds (`out`, with the velocity sent).
struct Readout {
    enum class Kind : std::uint8_t { Sounding, Released };
    Kind kind;
    std::uint8_t in;
    std::uint8_t out;
    std::uint8_t velocity;
    std::uint8_t mapped;
};

// The MIDI side of a session: maps what the input brings and sends it on, on the MIDI
// system's own thread, never waiting for the window.
//
// - The tables it plays with are immutable snapshots the UI publishes with one atomic swap
//   (Published); the MIDI side never locks, allocates or waits.
// - Messages the UI sends (panic, Local Control Off, the note-offs of a device change or a
//   stop) are commands the MIDI side runs in order with the played messages, so they never
//   overtake or interleave wrongly with them.
// - Key lighting goes to the UI through a ring; a full ring drops lighting, never MIDI. The
//   MIDI side only raises a flag: a thread of the engine's own wakes the UI (see WakeFd).
// - Active sensing from the input is dropped, whatever the MIDI system.
// - Input is split into whole messages and waits in preallocated storage until it is run:
//   at most kInboxMessages short messages and kSysExQueueBytes of SysEx, one SysEx of at
//   most kMaxSysExBytes. What does not fit is counted, never silently dropped.
//
// Threads: Input from the one thread that delivers a device's events; Pump from any thread,
// one at a time by construction (a thread that finds another running it leaves its work to
// that one); everything else from the UI thread.
class RealtimeEngine {
public:
    static constexpr std::size_t kInboxMessages = std::size_t{1} << 16;
    static constexpr std::size_t kCommands = 256;
    static constexpr std::size_t kReadouts = 4096;

    RealtimeEngine();
    ~RealtimeEngine();
    RealtimeEngine(const RealtimeEngine&) = delete;
    RealtimeEngine& operator=(const RealtimeEngine&) = delete;

    // ---- UI thread ----

    // The tables from now on. The old ones are freed once the MIDI side cannot hold them.
    void Publish(const PathTables& tables);

    enum class Command : std::uint8_t {
        Send,       // the bytes, as they are: one whole short message
        Panic,      // System Reset, note-offs, then pedal and All Notes Off on all channels
        ReleaseAll, // note-offs of the sounding notes, then the pedal tail where they went
        Forget,     // the output cannot be reached: forget what sounds, send nothing until Tail
        Tail,       // the output is reached: the pedal tail where notes or pedals went
        // A measuring run, in order with the rest (see Strikes):
        Listen,   // ReleaseAll, Sustain off where input channel 1 goes; then input is dropped
        Strike,   // bytes {key, velocity}: MessagePath::Strike, counted in Strikes
        Lift,     // bytes {key}: the note-off of that key's note, where it went
        Unlisten, // ReleaseAll; input is played again
    };
    // Queues a command for the MIDI side. Returns the count CommandsRun reaches once it
    // has run, or 0 when the queue is full or Send's bytes are not one whole short message
    // (a status byte, exactly its data bytes, none with the top bit set).
    std::uint64_t Post(Command command, std::span<const std::uint8_t> bytes = {});
    std::uint64_t CommandsRun() const { return commandsRun_.load(std::memory_order_acquire); }
    // Note-offs the last ReleaseAll or Panic sent.
    int LastReleased() const { return lastReleased_.load(std::memory_order_acquire); }
    // Notes sounding and pedals held as of the last time the MIDI side ran.
    int Sounding() const { return sounding_.load(std::memory_order_acquire); }
    int PedalsHeld() const { return pedalsHeld_.load(std::memory_order_acquire); }

    // ---- Any thread (a signal's thread included) ----

    // Asks the MIDI side to stop at its next run: note-offs for what sounds, then the pedal
    // tail, after the commands posted before; from then on input is dropped. Lock-free; the
    // first request counts.
    void RequestStop() { stopRequested_.store(true, std::memory_order_release); }
    bool StopDone() const { return stopDone_.load(std::memory_order_acquire); }
    // What the stop ended: notes released and pedals that were down. Valid once StopDone.
    int StopReleased() const { return stopReleased_.load(std::memory_order_acquire); }
    int StopPedals() const { return stopPedals_.load(std::memory_order_acquire); }

    // Strike commands run so far. A measuring run stamps the audio it captures with it, on
    // the thread that captures, to find each note's onset.
    std::uint32_t Strikes() const { return strikes_.load(std::memory_order_acquire); }

    // Readable when readouts wait; then DrainReadouts. -1 when it cannot be had.
    int WakeFd() const { return wakeFd_; }
    // UI thread, before a real-time thread runs the MIDI side: from now on the MIDI side only
    // raises a flag, and a thread of the engine's own writes the wake.
    //
    // Why a thread: the write is a system call and wakes another thread, which on JACK's
    // real-time thread cost tens of microseconds a message, hundreds at times (a virtual
    // machine's CPUs make every such call dear). The waker looks at the flag every few
    // milliseconds while keys are played, less often after a quiet spell, so lighting lags
    // by at most a few milliseconds, a frame after silence. Other MIDI sides (ALSA's input
    // thread) write the wake themselves, at once.
    void DeferWakes();
    template <typename F> void DrainReadouts(F f) {
        // An exchange reads the latest flag: had the MIDI side set it after a readout this
        // drain could still miss, it wrote the wake too. A plain store could be seen late,
        // and the readout left waiting for the next one.
        wakePending_.exchange(false, std::memory_order_acq_rel);
        Readout r;
        while (readouts_.Pop(r))
            f(r);
    }

    struct Losses {
        std::uint64_t inputFull = 0;       // short messages: the inbox was full
        std::uint64_t sysexNoRoom = 0;     // whole SysEx: too long, or no room to wait
        std::uint64_t sysexIncomplete = 0; // SysEx broken off by the device
        std::uint64_t outputFull = 0;      // the output could not take a message
        bool Any() const { return inputFull + sysexNoRoom + sysexIncomplete + outputFull > 0; }
    };
    Losses CountLosses() const;
    // Called by a sender that could not take a message.
    void CountOutputLoss() { outputFull_.fetch_add(1, std::memory_order_relaxed); }

    // Touches and locks what the MIDI side uses, so that it takes no page fault on a
    // period; before a real-time thread runs it (it is not otherwise resident until used).
    void PrepareForRealtime();

    // Runs messages of each kind the path treats apart (notes at every velocity, pedals,
    // other channel messages, system messages, a SysEx longer than `longSysEx`) and a
    // panic through a scratch engine into `out`, on the calling thread. The code and the
    // read-only data the MIDI side uses are then mapped, and the library functions it calls
    // bound, before a real-time thread runs them: otherwise its first message pays page
    // faults and symbol look-ups, hundreds of microseconds on a virtual machine.
    static void Rehearse(MidiSender& out, std::size_t longSysEx);

    // ---- MIDI side ----

    // One device event: split into whole messages, which wait for Pump (active sensing is
    // dropped). `frame` is its offset in the current period.
    void Input(std::span<const std::uint8_t> event, std::uint32_t frame);
    // The input has closed (no Input runs any more): a SysEx broken off is forgotten.
    void InputClosed();
    // Runs waiting commands, then waiting input, sending to `out`. Returns at once when
    // another thread is running it; that one runs this thread's work too.
    void Pump(MidiSender& out);

private:
    struct InboxItem {
        std::uint32_t frame;
        std::uint8_t size; // 0: the next SysEx waiting in sysex_
        std::uint8_t bytes[3];
    };
    struct CommandItem {
        Command command;
        std::uint8_t size;
        std::uint8_t bytes[3];
    };
    class Splitter;
    class Events;

    void Drain(MidiSender& out);
    void WakeLoop();
    void Run(const CommandItem& command, const PathTables& tables, MidiSender& out,
             PathEvents& events);
    // The commands of a measuring run.
    void RunListening(const CommandItem& command, const PathTables& tables, MidiSender& out,
                      PathEvents& events);

    std::unique_ptr<Published<PathTables>> tables_;
    MessagePath path_;
    MidiSplitState split_;
    SpscRing<InboxItem> inbox_;
    SysExQueue sysex_;
    SpscRing<CommandItem> commands_;
    SpscRing<Readout> readouts_;
    ExclusiveTurn turn_;

    std::uint64_t posted_ = 0; // UI thread
    std::atomic<std::uint64_t> commandsRun_{0};
    std::atomic<int> lastReleased_{0};
    std::atomic<int> sounding_{0};
    std::atomic<int> pedalsHeld_{0};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> stopDone_{false};
    std::atomic<int> stopReleased_{0};
    std::atomic<int> stopPedals_{0};
    bool stopped_ = false;     // MIDI side
    bool unreachable_ = false; // MIDI side: between Forget and Tail
    bool listening_ = false;   // MIDI side: between Listen and Unlisten
    std::atomic<std::uint32_t> strikes_{0};
    std::atomic<std::uint64_t> inputFull_{0};
    std::atomic<std::uint64_t> sysexNoRoom_{0};
    std::atomic<std::uint64_t> sysexIncomplete_{0};
    std::atomic<std::uint64_t> outputFull_{0};
    std::atomic<bool> wakePending_{false}; // readouts wait for a drain
    std::atomic<bool> wakeWanted_{false};  // ... and the waker has not written for them yet
    std::atomic<bool> deferWakes_{false};  // the waker writes the wakes
    int wakeFd_ = -1;
    // The waker: started and joined on the UI thread; quitting_ under wakerLock_.
    bool wakerTried_ = false;
    std::mutex wakerLock_;
    std::condition_variable wakerQuit_;
    bool quitting_ = false; // under wakerLock_
    std::thread waker_;
};

} // namespace velomire
