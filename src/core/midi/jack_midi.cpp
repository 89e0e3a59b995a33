#include "core/midi/jack_midi.h"

#include "core/midi/realtime_engine.h"

#include <jack/midiport.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

namespace velomire {

namespace {

// Each waiting message is its length followed by its bytes.
using Header = std::uint32_t;
constexpr std::size_t kHeaderBytes = sizeof(Header);

// How long CloseOutput lets waiting messages leave before the port goes (a panic sent on
// exit must arrive), without hanging on a server that has stopped running periods.
constexpr auto kFlushTimeout = std::chrono::seconds(1);
// How long one call may wait for the server. A stop flushes and disconnects the output and
// disconnects the input: two seconds at most.
constexpr auto kServerAnswerTimeout = std::chrono::milliseconds(500);
// How long start-up waits for a server to take Velomire as a client. A server that runs
// answers in milliseconds; one that is stopped never does, and is then waited for while
// Velomire runs.
constexpr auto kStartAnswerTimeout = std::chrono::seconds(2);
// How long libjack's own threads get to end after a server's shutdown notice.
constexpr auto kDeadClientGrace = std::chrono::milliseconds(100);

// libjack's calls that wait for the server's answer (connect, disconnect, deactivate,
// close) block for ever in read() on a server that is stopped but not gone: SIGSTOP, a
// debugger, a hung driver. They run on a thread of their own and are waited for until the
// deadline. One left unanswered is abandoned, and so is every later call: libjack keeps
// one connection state per process, and the abandoned thread may hold its locks.
std::atomic<bool> g_unanswered{false};

bool AskServer(std::function<bool()> call) {
    if (g_unanswered.load(std::memory_order_acquire))
        return false;
    auto answered = std::make_shared<std::promise<bool>>();
    std::future<bool> answer = answered->get_future();
    try {
        std::thread([call = std::move(call), answered] { answered->set_value(call()); }).detach();
    } catch (const std::system_error&) {
        return false; // no thread to spare: better a port left connected than a hang
    }
    if (answer.wait_for(kServerAnswerTimeout) == std::future_status::ready)
        return answer.get();
    g_unanswered.store(true, std::memory_order_release);
    return false;
}

// Calls visit(bytes, n) for each stretch of the bytes [offset, offset + size) of a ring
// region, which lies in up to two pieces. RT-safe.
template <typename Visit>
void ForRegion(const jack_ringbuffer_data_t (&region)[2], std::size_t offset, std::size_t size,
               Visit visit) {
    for (const jack_ringbuffer_data_t& piece : region) {
        if (size == 0)
            return;
        if (offset >= piece.len) {
            offset -= piece.len;
            continue;
        }
        const std::size_t n = std::min(size, piece.len - offset);
        visit(piece.buf + offset, n);
        size -= n;
        offset = 0;
    }
}

void CopyFromRing(const jack_ringbuffer_data_t (&region)[2], std::size_t offset, void* to,
                  std::size_t size) {
    auto* out = static_cast<char*>(to);
    ForRegion(region, offset, size, [&](const char* bytes, std::size_t n) {
        std::memcpy(out, bytes, n);
        out += n;
    });
}

void CopyToRing(const jack_ringbuffer_data_t (&region)[2], std::size_t offset, const void* from,
                std::size_t size) {
    const auto* in = static_cast<const char*>(from);
    ForRegion(region, offset, size, [&](char* bytes, std::size_t n) {
        std::memcpy(bytes, in, n);
        in += n;
    });
}

// How much of its stack JACK's process thread touches before its first period: well past
// what the callback and libjack's cycle use (a fault was seen 17 KiB down).
constexpr std::size_t kStackTouch = std::size_t{64} << 10;

[[gnu::noinline]] std::uint8_t TouchStack() {
    volatile std::uint8_t bytes[kStackTouch];
    for (std::size_t i = 0; i < kStackTouch; i += 1024)
        bytes[i] = 0;
    return bytes[0];
}

void JackQuiet(const char*) {}

// libjack prints on its own: while failing to reach a server that is not there, and from
// its threads when the server goes away ("Cannot read socket fd = 16 err = Success").
// Every failure that matters shows in a return value and is said by Velomire itself.
void SilenceLibjack() {
    jack_set_error_function(&JackQuiet);
    jack_set_info_function(&JackQuiet);
}

} // namespace

// The engine's sender on JACK: writes what it sends into this period's output buffer, at the
// frame each message belongs at (never earlier than the one before), and keeps what does not
// fit, in order, for the next period. One thread at a time: the process callback, or the UI
// thread while no callback runs (no client, or before a new one activates).
class JackMidiSystem::Writer final : public MidiSender {
public:
    explicit Writer(jack_ringbuffer_t* carry) : carry_(carry) {}
    ~Writer() { jack_ringbuffer_free(carry_); }

    // At the start of a period: the buffer (null: no output), then what waited.
    void Begin(void* buffer, jack_nframes_t frames, RealtimeEngine* engine) {
        buffer_ = buffer;
        frames_ = frames;
        last_ = 0;
        engine_ = engine;
        FlushCarried();
    }
    // Output closed: nothing waits for a destination that is gone.
    void Forget() {
        jack_ringbuffer_reset(carry_);
        partial_ = 0;
    }
    std::size_t Carried() const { return jack_ringbuffer_read_space(carry_); }

    bool Send(std::span<const std::uint8_t> bytes, std::uint32_t frame) override {
        if (!buffer_ || bytes.empty())
            return true;
        // Behind messages still waiting, in order; also what does not fit whole now.
        if (Carried() > 0 || !WriteWhole(bytes, frame))
            return Carry(bytes);
        return true;
    }

private:
    bool WriteWhole(std::span<const std::uint8_t> bytes, std::uint32_t frame) {
        // Checked first: a failed reserve makes libjack print from this thread.
        if (jack_midi_max_event_size(buffer_) < bytes.size())
            return false;
        const jack_nframes_t at =
            std::min<jack_nframes_t>(std::max<jack_nframes_t>(frame, last_), frames_ - 1);
        jack_midi_data_t* event = jack_midi_event_reserve(buffer_, at, bytes.size());
        if (!event)
            return false;
        std::memcpy(event, bytes.data(), bytes.size());
        last_ = at;
        return true;
    }

    bool Carry(std::span<const std::uint8_t> bytes) {
        const std::size_t total = kHeaderBytes + bytes.size();
        if (jack_ringbuffer_write_space(carry_) < total) {
            if (engine_)
                engine_->CountOutputLoss();
            return false;
        }
        jack_ringbuffer_data_t region[2];
        jack_ringbuffer_get_write_vector(carry_, region);
        const auto header = static_cast<Header>(bytes.size());
        CopyToRing(region, 0, &header, kHeaderBytes);
        CopyToRing(region, kHeaderBytes, bytes.data(), bytes.size());
        jack_ringbuffer_write_advance(carry_, total);
        return true;
    }

    // Oldest first, until the carry is empty or the buffer full. A message that does not
    // fit even an empty buffer (a long SysEx) leaves in pieces, each filling an empty one.
    void FlushCarried() {
        if (!buffer_)
            return;
        jack_nframes_t written = 0;
        while (jack_ringbuffer_read_space(carry_) >= kHeaderBytes) {
            jack_ringbuffer_data_t region[2];
            jack_ringbuffer_get_read_vector(carry_, region);
            Header size = 0;
            CopyFromRing(region, 0, &size, kHeaderBytes);
            const std::size_t rest = size - partial_;
            const std::size_t room = jack_midi_max_event_size(buffer_);
            const bool whole = rest <= room;
            if (!whole && (written > 0 || room == 0))
                return; // next period, into an empty buffer
            const std::size_t n = whole ? rest : room;
            const jack_nframes_t at = std::min(written, frames_ - 1);
            jack_midi_data_t* event = jack_midi_event_reserve(buffer_, at, n);
            if (!event) {
                if (written > 0)
                    return;
                // Refused by an empty buffer: it would block everything behind it for ever.
                jack_ringbuffer_read_advance(carry_, kHeaderBytes + size);
                partial_ = 0;
                if (engine_)
                    engine_->CountOutputLoss();
                continue;
            }
            CopyFromRing(region, kHeaderBytes + partial_, event, n);
            last_ = at;
            if (!whole) {
                partial_ += n;
                return; // the buffer is full
            }
            jack_ringbuffer_read_advance(carry_, kHeaderBytes + size);
            partial_ = 0;
            ++written;
        }
    }

    jack_ringbuffer_t* carry_;
    void* buffer_ = nullptr;
    jack_nframes_t frames_ = 0;
    jack_nframes_t last_ = 0;
    std::size_t partial_ = 0; // bytes of the oldest carried message already written
    RealtimeEngine* engine_ = nullptr;
};

struct JackMidiSystem::Shared {
    explicit Shared(JackMidiSystem* system) : owner(system) {}
    ~Shared() { delete writer; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    JackMidiSystem* owner; // for what the callbacks post to the UI thread
    jack_port_t* inPort = nullptr;
    jack_port_t* outPort = nullptr;
    Writer* writer = nullptr;
    std::atomic<RealtimeEngine*> engine{nullptr};
    std::atomic<bool> inputOpen{false};
    std::atomic<bool> outputOpen{false}; // sending: chosen and not silenced
    // True while the RT thread may be using the engine, the writer and the flags.
    std::atomic<bool> inProcess{false};
    std::atomic<bool> dead{false};
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<std::size_t> carried{0};   // output bytes waiting for a later period
    std::atomic<QObject*> notify{nullptr}; // the watcher, as JACK's threads see it
    std::atomic<bool> lookPosted{false};   // one queued look at a time
    std::atomic<JackPeriodTap*> tap{nullptr};
};

std::uint64_t JackMidiSystem::Cycles() const {
    return rt_->cycles.load(std::memory_order_acquire);
}

JackMidiSystem::JackMidiSystem() : rt_(new Shared(this)) {
    if (jack_ringbuffer_t* carry = jack_ringbuffer_create(kCarryBytes)) {
        // Keeps the RT thread from page faults; without the privilege it still works.
        jack_ringbuffer_mlock(carry);
        rt_->writer = new Writer(carry);
        Open();
    }
}

namespace {
// Quiet: a server that is not there is not an error. Never starts one.
jack_client_t* Connect() {
    SilenceLibjack();
    jack_status_t status{};
    return jack_client_open(kClientName, JackNoStartServer, &status);
}
} // namespace

// A try to reach a server on a thread of its own: one that runs but does not answer
// (stopped) holds jack_client_open forever. Whichever side lets go last, the thread or
// the system, closes what it found, so nobody waits for the other.
struct JackMidiSystem::Attempt {
    enum class State : int { Trying, Done, Abandoned };
    std::atomic<State> state{State::Trying};
    jack_client_t* client = nullptr; // set before state leaves Trying

    static std::shared_ptr<Attempt> Start() {
        auto attempt = std::make_shared<Attempt>();
        try {
            std::thread([attempt] {
                attempt->client = Connect();
                State trying = State::Trying;
                if (!attempt->state.compare_exchange_strong(trying, State::Done) && attempt->client)
                    jack_client_close(attempt->client);
            }).detach();
        } catch (const std::system_error&) {
            attempt->state.store(State::Done); // no thread to spare: counts as no server
        }
        return attempt;
    }
    // Once ended, `client` holds what was found (null: no server).
    bool Ended() const { return state.load() == State::Done; }
    // Leaves the thread to close what it finds; closes it here if it already ended.
    void Abandon() {
        State trying = State::Trying;
        if (!state.compare_exchange_strong(trying, State::Abandoned) && client)
            jack_client_close(client);
    }
};

bool JackMidiSystem::Open() {
    // On a thread of its own, as every later try: a stopped server would hold start-up.
    auto attempt = Attempt::Start();
    const auto deadline = std::chrono::steady_clock::now() + kStartAnswerTimeout;
    while (!attempt->Ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!attempt->Ended()) {
        connecting_ = std::move(attempt); // Revive takes the client once it answers
        return false;
    }
    return attempt->client && Setup(attempt->client);
}

bool JackMidiSystem::Setup(jack_client_t* client) {
    client_ = client;
    rt_->inPort =
        jack_port_register(client_, kInputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    rt_->outPort =
        jack_port_register(client_, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    // Callbacks can only be set before activation.
    jack_on_shutdown(client_, &JackMidiSystem::OnShutdown, rt_);
    if (!rt_->inPort || !rt_->outPort ||
        jack_set_port_registration_callback(client_, &JackMidiSystem::OnPortRegistration, rt_) !=
            0 ||
        jack_set_thread_init_callback(client_, &JackMidiSystem::OnThreadStart, rt_) != 0 ||
        jack_set_process_callback(client_, &JackMidiSystem::OnProcess, rt_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }
    Rehearse();
    if (jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }
    // JACK appends a suffix when another client already has the name (another Velomire).
    name_ = jack_get_client_name(client_);
    // libjack's first port listing in a process walks the server's whole port table in
    // shared memory (tens of milliseconds); taken here, it falls on the connecting
    // thread, which at start-up runs beside the window's construction.
    Sources();
    return true;
}

// The first period of a new client, and its first message, used to map the code they ran
// and bind the libjack and libm functions they called, from JACK's thread: page faults and
// symbol look-ups of 0.2 to 0.5 ms each on a virtual machine, a third of a period, where an
// xrun needs little more. Run here first, they are mapped and bound for the whole process.
// The output port is not connected yet (nor the client active): what is written into its
// buffer goes nowhere, and is cleared.
void JackMidiSystem::Rehearse() {
    const jack_nframes_t frames = jack_get_buffer_size(client_);
    void* out = frames > 0 ? jack_port_get_buffer(rt_->outPort, frames) : nullptr;
    void* in = frames > 0 ? jack_port_get_buffer(rt_->inPort, frames) : nullptr;
    if (!out || !in)
        return;
    jack_midi_clear_buffer(out);
    Writer& writer = *rt_->writer;
    writer.Begin(out, frames, nullptr);
    // A SysEx longer than a buffer holds: it is carried and leaves in pieces, below.
    RealtimeEngine::Rehearse(writer, jack_midi_max_event_size(out) + 1);
    // Read back as the callback reads its input.
    jack_midi_event_t event;
    for (std::uint32_t i = 0, n = jack_midi_get_event_count(out); i < n; ++i)
        jack_midi_event_get(&event, out, i);
    jack_midi_get_event_count(in);
    for (int period = 0; period < 4 && writer.Carried() > 0; ++period) {
        jack_midi_clear_buffer(out);
        writer.Begin(out, frames, nullptr);
    }
    jack_midi_clear_buffer(out);
    writer.Forget();
}

JackMidiSystem::~JackMidiSystem() {
    rt_->notify.store(nullptr, std::memory_order_seq_cst);
    if (connecting_)
        connecting_->Abandon();
    if (Shut()) {
        delete rt_;
    } else {
        // A server that never answered may still run the callback once it wakes: what the
        // callback touches is left in place, and reachable, so no leak checker minds.
        rt_->owner = nullptr;
        static auto* const kept = new std::vector<std::unique_ptr<Shared>>;
        kept->emplace_back(rt_);
    }
}

bool JackMidiSystem::Shut() {
    if (!client_)
        return true;
    CloseOutput();
    CloseInput();
    if (rt_->dead.load(std::memory_order_acquire)) {
        Release();
        return true;
    }
    if (!AskServer([client = client_] {
            jack_deactivate(client);
            return jack_client_close(client) == 0;
        }))
        return false;
    client_ = nullptr;
    rt_->tap.store(nullptr, std::memory_order_seq_cst);
    return true;
}

// Closes a client whose server has gone: it still holds libjack's threads and the server's
// shared memory until closed. Not at once: libjack's own threads are still ending after the
// shutdown notice, and a close cancels them; one cancelled while it holds a lock of libjack's
// would hold up the close, and the window, for ever. They end within microseconds; the wait
// is once per server that goes.
void JackMidiSystem::Release() {
    if (rt_->dead.load(std::memory_order_acquire))
        std::this_thread::sleep_for(kDeadClientGrace);
    jack_client_close(client_);
    client_ = nullptr;
    rt_->tap.store(nullptr, std::memory_order_seq_cst); // its port went with the client
    rt_->inPort = nullptr;
    rt_->outPort = nullptr;
}

bool JackMidiSystem::Alive() const {
    return client_ != nullptr && !rt_->dead.load(std::memory_order_acquire) &&
           !g_unanswered.load(std::memory_order_acquire);
}

void JackMidiSystem::DropDead() {
    if (!client_ || !rt_->dead.load(std::memory_order_acquire))
        return;
    // The dead client's threads end with it; after that nothing runs the callback.
    Release();
    rt_->inputOpen.store(false);
    rt_->outputOpen.store(false);
    outputChosen_ = false;
    rt_->inProcess.store(false);
    if (rt_->writer)
        rt_->writer->Forget();
    if (RealtimeEngine* engine = rt_->engine.load())
        engine->InputClosed();
    rt_->dead.store(false, std::memory_order_release);
    std::fprintf(stderr, "velomire: the JACK server has stopped\n");
}

bool JackMidiSystem::Revive() {
    DropDead();
    if (client_ || !rt_->writer || g_unanswered.load(std::memory_order_acquire))
        return Alive();
    // Trying to reach a server can take a while where none runs: on a thread of its own,
    // so that the window, and a stop, never wait for it. Looked at again next time.
    if (!connecting_)
        connecting_ = Attempt::Start();
    if (!connecting_->Ended())
        return false;
    jack_client_t* client = std::exchange(connecting_, nullptr)->client;
    if (!client) {
        // Tried again at once, so that a server that has just come back is met by the
        // next look, not the one after.
        connecting_ = Attempt::Start();
        return false;
    }
    // What was asked while no server ran (a panic, Local Control Off) was meant for
    // connections that went with it: it runs now into nothing, as no callback runs. Left
    // waiting, it would go out on whatever the new client is connected to by then.
    if (RealtimeEngine* engine = rt_->engine.load()) {
        rt_->writer->Begin(nullptr, 0, engine);
        engine->Pump(*rt_->writer);
    }
    return Setup(client) && Alive();
}

void JackMidiSystem::Kick() {
    if (client_ || !rt_->writer)
        return;
    if (RealtimeEngine* engine = rt_->engine.load()) {
        rt_->writer->Begin(nullptr, 0, engine);
        engine->Pump(*rt_->writer);
    }
}

void JackMidiSystem::WatchDevices(std::function<void()> changed) {
    devicesChanged_ = std::move(changed);
}

void JackMidiSystem::AwaitSent(std::chrono::milliseconds limit) {
    // Sent means written into a period's buffer, and read by the clients of that period:
    // one more period after the last carried byte went.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto running = [&] {
        return !rt_->dead.load(std::memory_order_acquire) &&
               !g_unanswered.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < deadline;
    };
    while (rt_->carried.load(std::memory_order_acquire) > 0 && running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint64_t seen = Cycles();
    while (Cycles() < seen + 2 && running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void JackMidiSystem::Attach(RealtimeEngine* engine) {
    // Made here, on the thread that uses the system: the constructor may run elsewhere.
    if (!watcher_) {
        watcher_ = std::make_unique<QObject>();
        rt_->notify.store(watcher_.get(), std::memory_order_seq_cst);
        // It may have died before anyone listened.
        if (rt_->dead.load(std::memory_order_seq_cst))
            QMetaObject::invokeMethod(
                watcher_.get(), [this] { DropDead(); }, Qt::QueuedConnection);
    }
    WaitOutsideProcess();
    // The process callback uses it from its next period: its pages are in memory by then.
    if (engine) {
        engine->PrepareForRealtime();
        engine->DeferWakes();
    }
    rt_->engine.store(engine, std::memory_order_seq_cst);
}

std::vector<std::string> JackMidiSystem::OthersPorts(unsigned long flags) {
    std::vector<std::string> names;
    if (!Alive())
        return names;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
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

std::vector<std::string> JackMidiSystem::Sources() {
    return OthersPorts(JackPortIsOutput);
}

std::vector<std::string> JackMidiSystem::Targets() {
    return OthersPorts(JackPortIsInput);
}

std::string JackMidiSystem::VirtualOutputName() {
    return (name_.empty() ? std::string(kClientName) : name_) + ":" + kOutputPortName;
}

void JackMidiSystem::SetPeriodTap(JackPeriodTap* tap) {
    rt_->tap.store(client_ ? tap : nullptr, std::memory_order_seq_cst);
    WaitOutsideProcess();
}

void JackMidiSystem::WaitOutsideProcess() const {
    while (rt_->inProcess.load(std::memory_order_seq_cst))
        std::this_thread::yield();
}

void JackMidiSystem::Disconnect(jack_port_t* port) {
    if (port && Alive())
        AskServer([client = client_, port] { return jack_port_disconnect(client, port) == 0; });
}

bool JackMidiSystem::OpenInput(const std::string& source) {
    CloseInput();
    if (!Alive() || !rt_->engine.load())
        return false;
    // Found afresh: the device may have gone since the list was made.
    const std::vector<std::string> now = Sources();
    if (std::find(now.begin(), now.end(), source) == now.end())
        return false;
    const std::string own = jack_port_name(rt_->inPort);
    if (!AskServer([client = client_, source, own] {
            return jack_connect(client, source.c_str(), own.c_str()) == 0;
        }))
        return false;
    rt_->inputOpen.store(true, std::memory_order_seq_cst);
    return true;
}

void JackMidiSystem::CloseInput() {
    if (!rt_->inputOpen.exchange(false, std::memory_order_seq_cst))
        return;
    // Once the RT thread is outside its callback it sees the input closed.
    WaitOutsideProcess();
    if (RealtimeEngine* engine = rt_->engine.load())
        engine->InputClosed();
    Disconnect(rt_->inPort);
}

bool JackMidiSystem::OpenOutput(const std::string& target) {
    CloseOutput();
    if (!Alive())
        return false;
    const bool own = target == VirtualOutputName();
    if (!own) {
        const std::vector<std::string> now = Targets();
        if (std::find(now.begin(), now.end(), target) == now.end())
            return false;
        const std::string from = jack_port_name(rt_->outPort);
        if (!AskServer([client = client_, from, target] {
                return jack_connect(client, from.c_str(), target.c_str()) == 0;
            }))
            return false;
    }
    outputChosen_ = true;
    rt_->outputOpen.store(true, std::memory_order_seq_cst);
    return true;
}

void JackMidiSystem::SilenceOutput() {
    rt_->outputOpen.store(false, std::memory_order_seq_cst);
    WaitOutsideProcess();
    if (rt_->writer)
        rt_->writer->Forget();
    rt_->carried.store(0, std::memory_order_release);
}

bool JackMidiSystem::CloseOutput() {
    if (!outputChosen_)
        return true;
    outputChosen_ = false;
    bool left = true;
    if (!rt_->outputOpen.load(std::memory_order_acquire)) {
        left = false; // silenced: what waited was dropped
    } else if (Alive()) {
        // Let what was sent leave first, then one more period so that the readers of the
        // period that took the last message have run.
        const auto deadline = std::chrono::steady_clock::now() + kFlushTimeout;
        auto waitUntil = [&](auto done) {
            while (!done() && Alive() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return done();
        };
        const std::uint64_t seen = Cycles();
        left = waitUntil([&] { return rt_->carried.load(std::memory_order_acquire) == 0; }) &&
               waitUntil([&] { return Cycles() >= seen + 2; });
    } else {
        left = false;
    }
    rt_->outputOpen.store(false, std::memory_order_seq_cst);
    WaitOutsideProcess();
    // What did not leave in time is not sent to the next destination.
    if (rt_->writer) {
        left = left && rt_->writer->Carried() == 0;
        rt_->writer->Forget();
    }
    rt_->carried.store(0, std::memory_order_release);
    // Patchbay connections made to the virtual port go as well: "closed" means silent.
    Disconnect(rt_->outPort);
    return left;
}

// RT thread: no locks, no allocation, no JACK calls that print.
int JackMidiSystem::OnProcess(jack_nframes_t frames, void* self) {
    auto* s = static_cast<Shared*>(self);
    s->inProcess.store(true, std::memory_order_seq_cst);
    RealtimeEngine* engine = s->engine.load(std::memory_order_seq_cst);
    void* out = s->outPort && frames > 0 ? jack_port_get_buffer(s->outPort, frames) : nullptr;
    if (out)
        jack_midi_clear_buffer(out);
    const bool outputOpen = s->outputOpen.load(std::memory_order_seq_cst);
    s->writer->Begin(outputOpen ? out : nullptr, frames, engine);
    if (engine) {
        void* in = s->inputOpen.load(std::memory_order_seq_cst) && frames > 0
                       ? jack_port_get_buffer(s->inPort, frames)
                       : nullptr;
        const std::uint32_t count = in ? jack_midi_get_event_count(in) : 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) == 0 && event.size > 0)
                engine->Input({event.buffer, event.size}, event.time);
        }
        engine->Pump(*s->writer);
    }
    // After the MIDI: a run's strike sent in this period stamps this period's audio.
    if (JackPeriodTap* tap = s->tap.load(std::memory_order_seq_cst))
        tap->OnPeriod(frames);
    s->carried.store(s->writer->Carried(), std::memory_order_release);
    s->cycles.fetch_add(1, std::memory_order_release);
    s->inProcess.store(false, std::memory_order_seq_cst);
    return 0;
}

// JACK's process thread, once, before its client takes part in any period (jack_activate
// waits for this): the stack the callback and libjack's cycle will use is touched now, not
// page by page in the first periods, where each first touch is a page fault.
void JackMidiSystem::OnThreadStart(void*) {
    pthread_attr_t attributes;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    if (size >= 4 * kStackTouch) {
        [[maybe_unused]] const std::uint8_t touched = TouchStack();
    }
}

// A JACK thread: a port came or went. One look is queued at a time; it sees them all.
void JackMidiSystem::OnPortRegistration(jack_port_id_t, int, void* self) {
    auto* s = static_cast<Shared*>(self);
    QObject* watcher = s->notify.load(std::memory_order_seq_cst);
    if (!watcher || s->lookPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        watcher,
        // Runs on the watcher, which goes with the system: the owner is there.
        [s] {
            s->lookPosted.store(false);
            if (s->owner && s->owner->devicesChanged_)
                s->owner->devicesChanged_();
        },
        Qt::QueuedConnection);
}

// A JACK thread, after the client's last period.
void JackMidiSystem::OnShutdown(void* self) {
    auto* s = static_cast<Shared*>(self);
    s->dead.store(true, std::memory_order_seq_cst);
    if (QObject* watcher = s->notify.load(std::memory_order_seq_cst))
        QMetaObject::invokeMethod(
            watcher,
            [s] {
                if (s->owner)
                    s->owner->DropDead();
            },
            Qt::QueuedConnection);
}

} // namespace velomire
