#include "core/midi/realtime_engine.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>
#include <vector>

namespace velomire {

namespace {
constexpr std::uint8_t kActiveSensing = 0xFE;

// How often the waker looks for readouts: often while keys are played, less once they have
// been quiet a while (the first key after silence lights within a display frame).
constexpr auto kPlayingLook = std::chrono::milliseconds(4);
constexpr auto kQuietLook = std::chrono::milliseconds(16);
constexpr auto kQuietAfter = std::chrono::seconds(2);
} // namespace

// MIDI side: what SplitMidiBytes finds goes into the inbox.
class RealtimeEngine::Splitter {
public:
    Splitter(RealtimeEngine& e, std::uint32_t frame) : e_(e), frame_(frame) {}
    void Message(const std::uint8_t* bytes, std::size_t n) {
        // It speaks for the keyboard's link, not for ours to the instrument, which would
        // cut its notes once the input closes or changes. RtMidi drops it on ALSA; JACK
        // hands it over.
        if (bytes[0] == kActiveSensing)
            return;
        InboxItem item{frame_, static_cast<std::uint8_t>(n), {}};
        std::memcpy(item.bytes, bytes, n);
        if (!e_.inbox_.Push(item))
            e_.inputFull_.fetch_add(1, std::memory_order_relaxed);
    }
    void SysExBytes(const std::uint8_t* bytes, std::size_t n) { e_.sysex_.Append(bytes, n); }
    void SysExEnd() {
        // The marker must find room before the SysEx is published, or the two part ways.
        if (e_.inbox_.Full()) {
            e_.sysex_.Discard();
            e_.sysexNoRoom_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (!e_.sysex_.Publish()) {
            e_.sysexNoRoom_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        e_.inbox_.Push({frame_, 0, {}});
    }
    void SysExDropped() {
        e_.sysex_.Discard();
        e_.sysexIncomplete_.fetch_add(1, std::memory_order_relaxed);
    }

private:
    RealtimeEngine& e_;
    std::uint32_t frame_;
};

// MIDI side: lighting for the window. A full ring drops it; MIDI goes on.
class RealtimeEngine::Events final : public PathEvents {
public:
    explicit Events(RealtimeEngine& e) : e_(e) {}
    void Sounding(int in, int out, int velocity, int mapped) override {
        Put({Readout::Kind::Sounding, static_cast<std::uint8_t>(in), static_cast<std::uint8_t>(out),
             static_cast<std::uint8_t>(velocity), static_cast<std::uint8_t>(mapped)});
    }
    void Released(int out) override {
        Put({Readout::Kind::Released, 0, static_cast<std::uint8_t>(out), 0, 0});
    }

private:
    void Put(const Readout& r) {
        if (!e_.readouts_.Push(r))
            return;
        // One wake per drain: the UI clears the flag before it drains. On a real-time
        // thread the waker writes it; elsewhere the write is cheap enough to make here.
        if (e_.wakePending_.exchange(true, std::memory_order_seq_cst))
            return;
        if (e_.deferWakes_.load(std::memory_order_acquire)) {
            e_.wakeWanted_.store(true, std::memory_order_release);
        } else if (e_.wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(e_.wakeFd_, &one, sizeof one);
        }
    }
    RealtimeEngine& e_;
};

RealtimeEngine::RealtimeEngine()
    : tables_(std::make_unique<Published<PathTables>>(std::make_unique<const PathTables>())),
      inbox_(kInboxMessages), sysex_(kSysExQueueBytes, kMaxSysExBytes), commands_(kCommands),
      readouts_(kReadouts) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void RealtimeEngine::PrepareForRealtime() {
    inbox_.PrepareForRealtime();
    sysex_.PrepareForRealtime();
    commands_.PrepareForRealtime();
    readouts_.PrepareForRealtime();
}

RealtimeEngine::~RealtimeEngine() {
    if (waker_.joinable()) {
        {
            std::lock_guard lock(wakerLock_);
            quitting_ = true;
        }
        wakerQuit_.notify_all();
        waker_.join();
    }
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void RealtimeEngine::DeferWakes() {
    if (wakerTried_ || wakeFd_ < 0)
        return;
    wakerTried_ = true;
    try {
        waker_ = std::thread([this] { WakeLoop(); });
        deferWakes_.store(true, std::memory_order_release);
    } catch (const std::system_error&) {
        // No thread to spare: the MIDI side writes its wakes itself.
    }
}

// The waker's thread: one write per wake the MIDI side wanted.
void RealtimeEngine::WakeLoop() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastWake = Clock::now() - kQuietAfter;
    std::unique_lock lock(wakerLock_);
    for (;;) {
        const auto look = Clock::now() - lastWake < kQuietAfter ? kPlayingLook : kQuietLook;
        if (wakerQuit_.wait_for(lock, look, [this] { return quitting_; }))
            return;
        if (wakeWanted_.exchange(false, std::memory_order_acq_rel)) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
            lastWake = Clock::now();
        }
    }
}

void RealtimeEngine::Rehearse(MidiSender& out, std::size_t longSysEx) {
    RealtimeEngine scratch;
    PathTables tables;
    for (int k = 0; k < kNoteTableSize; ++k) {
        NoteSetting& n = tables.notes[static_cast<std::size_t>(k)];
        n.outnote = static_cast<std::uint8_t>(k & 0x7F);
        n.exp = k % 2 ? 0.5 : 2.0; // curves of both bends
        n.vmax = kMaxVelocity;
    }
    scratch.Publish(tables);
    const auto play = [&](std::initializer_list<std::uint8_t> bytes) {
        const std::vector<std::uint8_t> event(bytes);
        scratch.Input(event, 0);
    };
    // Every velocity: the curve's pow() reads its tables where the velocity falls.
    for (std::uint8_t v = 1; v <= kMaxVelocity; ++v) {
        play({static_cast<std::uint8_t>(0x90 | (v & 0x0F)), v, v});
        play({static_cast<std::uint8_t>(0x80 | (v & 0x0F)), v, 64});
    }
    scratch.Pump(out);
    play({0x90, 60, 100});
    play({0xA0, 60, 30});
    play({0x90, 60, 0});
    play({0xB0, 64, 127});
    play({0xB0, 66, 127});
    play({0xB0, 1, 20});
    play({0xC0, 5});
    play({0xD0, 40});
    play({0xE0, 0, 64});
    play({0xF8});
    play({kActiveSensing});
    play({0x90, 62, 90});
    std::vector<std::uint8_t> sysex(longSysEx + 2, 0x7D);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    scratch.Input(sysex, 0);
    scratch.Pump(out);
    const std::uint8_t note[] = {0x90, 64, 100};
    scratch.Post(Command::Send, note);
    for (const Command c : {Command::ReleaseAll, Command::Panic, Command::Forget, Command::Tail})
        scratch.Post(c);
    const std::uint8_t strike[2] = {60, 90};
    const std::uint8_t lift[1] = {60};
    scratch.Post(Command::Listen);
    scratch.Post(Command::Strike, strike);
    scratch.Post(Command::Lift, lift);
    scratch.Post(Command::Unlisten);
    scratch.Pump(out);
    scratch.RequestStop();
    scratch.Pump(out);
    scratch.DrainReadouts([](const Readout&) {});
}

void RealtimeEngine::Publish(const PathTables& tables) {
    tables_->Publish(std::make_unique<const PathTables>(tables));
}

std::uint64_t RealtimeEngine::Post(Command command, std::span<const std::uint8_t> bytes) {
    CommandItem item{command, 0, {}};
    if (command == Command::Strike || command == Command::Lift) {
        const std::size_t need = command == Command::Strike ? 2 : 1;
        if (bytes.size() != need ||
            std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b >= 0x80; }))
            return 0;
        item.size = static_cast<std::uint8_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), item.bytes);
    } else if (command == Command::Send) {
        // Cut to three bytes, a SysEx or a longer run would leave as a broken message.
        if (bytes.empty() || static_cast<int>(bytes.size()) != ShortMessageLength(bytes[0]) ||
            std::any_of(bytes.begin() + 1, bytes.end(), [](std::uint8_t b) { return b >= 0x80; }))
            return 0;
        item.size = static_cast<std::uint8_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), item.bytes);
    }
    if (!commands_.Push(item))
        return 0;
    return ++posted_;
}

RealtimeEngine::Losses RealtimeEngine::CountLosses() const {
    return {inputFull_.load(std::memory_order_relaxed),
            sysexNoRoom_.load(std::memory_order_relaxed),
            sysexIncomplete_.load(std::memory_order_relaxed),
            outputFull_.load(std::memory_order_relaxed)};
}

// MIDI thread: no locks, no allocation.
void RealtimeEngine::Input(std::span<const std::uint8_t> event, std::uint32_t frame) {
    Splitter splitter(*this, frame);
    SplitMidiBytes(split_, event.data(), event.size(), splitter);
}

void RealtimeEngine::InputClosed() {
    if (split_.inSysEx) {
        sysex_.Discard();
        sysexIncomplete_.fetch_add(1, std::memory_order_relaxed);
    }
    split_ = {};
}

void RealtimeEngine::Pump(MidiSender& out) {
    turn_.Run([&] { Drain(out); });
}

// With the output out of reach, what would end a sound is forgotten instead, and the
// channels it used are kept for the tail that follows the output's return.
void RealtimeEngine::Run(const CommandItem& c, const PathTables& tables, MidiSender& out,
                         PathEvents& events) {
    switch (c.command) {
    case Command::Listen:
    case Command::Strike:
    case Command::Lift:
    case Command::Unlisten:
        RunListening(c, tables, out, events);
        return;
    case Command::Send:
        out.Send({c.bytes, c.size}, 0);
        return;
    case Command::Tail:
        unreachable_ = false;
        path_.SendPedalAndAllNotesOff(out);
        return;
    case Command::Forget:
        unreachable_ = true;
        break;
    case Command::Panic:
    case Command::ReleaseAll:
        break;
    }
    if (unreachable_) {
        lastReleased_.store(path_.Forget(events), std::memory_order_relaxed);
    } else if (c.command == Command::Panic) {
        lastReleased_.store(path_.SoundingCount(), std::memory_order_relaxed);
        path_.SendPanic(out, events);
    } else {
        lastReleased_.store(path_.ReleaseSounding(out, events), std::memory_order_relaxed);
        path_.SendPedalAndAllNotesOff(out);
    }
}

// A measuring run's notes are held like played ones, so whatever ends what sounds (a stop,
// a panic, a device change) ends them too. The player's keys are ended before the run
// and ignored during it: the run alone must sound.
void RealtimeEngine::RunListening(const CommandItem& c, const PathTables& tables, MidiSender& out,
                                  PathEvents& events) {
    switch (c.command) {
    case Command::Listen:
        Run({Command::ReleaseAll, 0, {}}, tables, out, events);
        listening_ = true;
        if (!unreachable_) {
            // A pedal held before Velomire started, or on another keyboard, blurs every note.
            const std::uint8_t sustainOff[3] = {
                static_cast<std::uint8_t>(0xB0 | (tables.channels[0] & 0x0F)), 64, 0};
            out.Send(sustainOff, 0);
        }
        return;
    case Command::Strike:
        if (unreachable_ || stopped_ || c.size < 2)
            return; // no onset follows: the run finds the note did not leave
        path_.Strike(c.bytes[0], c.bytes[1], tables, out, events);
        strikes_.fetch_add(1, std::memory_order_acq_rel);
        return;
    case Command::Lift:
        if (c.size >= 1) {
            const std::uint8_t off[3] = {0x80, static_cast<std::uint8_t>(c.bytes[0] & 0x7F), 64};
            if (!unreachable_)
                path_.Process(off, 0, tables, out, events);
        }
        return;
    case Command::Unlisten:
        Run({Command::ReleaseAll, 0, {}}, tables, out, events);
        listening_ = false;
        return;
    default:
        return;
    }
}

// Whoever holds the turn: commands first (they were posted before what waits now was
// run), then the input in arrival order.
void RealtimeEngine::Drain(MidiSender& out) {
    Events events(*this);
    const PathTables& tables = tables_->Acquire();
    CommandItem c;
    while (commands_.Pop(c)) {
        Run(c, tables, out, events);
        commandsRun_.fetch_add(1, std::memory_order_release);
    }
    if (!stopped_ && stopRequested_.load(std::memory_order_acquire)) {
        stopped_ = true;
        stopPedals_.store(path_.PedalsHeld(), std::memory_order_relaxed);
        Run({Command::ReleaseAll, 0, {}}, tables, out, events);
        stopReleased_.store(lastReleased_.load(std::memory_order_relaxed),
                            std::memory_order_relaxed);
        stopDone_.store(true, std::memory_order_release);
    }
    InboxItem item;
    while (inbox_.Pop(item)) {
        if (stopped_ || listening_) {
            // A note struck now could never be ended: the process is going; or a measuring
            // run plays, and must hear the instrument alone.
            if (item.size == 0)
                sysex_.Pop();
            continue;
        }
        if (item.size == 0) {
            out.Send(sysex_.Front(), item.frame); // SysEx leaves whole and unchanged
            sysex_.Pop();
        } else {
            path_.Process({item.bytes, item.size}, item.frame, tables, out, events);
        }
    }
    tables_->Release();
    sounding_.store(path_.SoundingCount(), std::memory_order_release);
    pedalsHeld_.store(path_.PedalsHeld(), std::memory_order_release);
}

} // namespace velomire
