#include "midi/jack_midi.h"

#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <system_error>
#include <thread>

namespace velomire {

namespace {

// Each queued message is its length followed by its bytes.
using Header = std::uint32_t;
constexpr std::size_t kHeaderBytes = sizeof(Header);

// How long CloseOutput lets queued messages leave before the port goes (a panic sent on
// exit must arrive), without hanging on a server that has stopped running periods.
constexpr auto kFlushTimeout = std::chrono::seconds(1);
// How long one group of closing calls may wait for the server. A stop closes the output
// (flush and one group) and the input (one group): two seconds at most.
constexpr auto kServerAnswerTimeout = std::chrono::milliseconds(500);

// libjack's calls that wait for the server's answer (disconnect, unregister, deactivate,
// close) block for ever in read() on a server that is stopped but not gone: SIGSTOP, a
// debugger, a hung driver. They run on a thread of their own and are waited for until the
// deadline. One left unanswered is abandoned, and so is every later call: libjack keeps
// one connection state per process, and the abandoned thread may hold its locks.
std::atomic<bool> g_unanswered{false};

bool AskServer(std::function<void()> call) {
    if (g_unanswered.load(std::memory_order_acquire))
        return false;
    auto answered = std::make_shared<std::promise<void>>();
    std::future<void> answer = answered->get_future();
    try {
        std::thread([call = std::move(call), answered] {
            call();
            answered->set_value();
        }).detach();
    } catch (const std::system_error&) {
        return false; // no thread to spare: better a client left open than a hang
    }
    if (answer.wait_for(kServerAnswerTimeout) == std::future_status::ready)
        return true;
    g_unanswered.store(true, std::memory_order_release);
    return false;
}

// Clients that could not be closed: libjack may still run their callbacks, so they live
// as long as the process. Never freed, and reachable, which leak checkers accept.
void Keep(std::unique_ptr<JackClient> client) {
    static auto* const kept = new std::vector<std::unique_ptr<JackClient>>;
    kept->push_back(std::move(client));
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

void JackQuiet(const char*) {}

// libjack prints on its own: while failing to reach a server that is not there, and from
// its threads when the server goes away ("Cannot read socket fd = 16 err = Success").
// Every failure that matters shows in a return value and is said by Velomire itself.
void SilenceLibjack() {
    jack_set_error_function(&JackQuiet);
    jack_set_info_function(&JackQuiet);
}

// Lists the client's ports in the order the server gives them. The names stay
// `index`-stable for a backend between DeviceNames and Open (see MidiInputBackend).
class JackInput final : public MidiInputBackend {
public:
    JackInput(JackMidiSystem& system, JackClient& client) : system_(system), client_(client) {}
    ~JackInput() override { Close(); }

    std::vector<std::string> DeviceNames() override {
        system_.Reconnect();
        names_ = client_.Sources();
        return names_;
    }

    bool Open(int index, MidiInputSink* sink) override {
        Close();
        if (index < 0 || index >= static_cast<int>(names_.size()))
            return false;
        system_.Reconnect();
        open_ = client_.OpenInput(names_[static_cast<std::size_t>(index)], sink);
        return open_;
    }

    void Close() override {
        if (open_)
            client_.CloseInput();
        open_ = false;
    }

private:
    JackMidiSystem& system_;
    JackClient& client_;
    std::vector<std::string> names_;
    bool open_ = false;
};

class JackOutput final : public MidiOutputBackend {
public:
    JackOutput(JackMidiSystem& system, JackClient& client) : system_(system), client_(client) {}
    ~JackOutput() override { Close(); }

    std::vector<std::string> DeviceNames() override {
        system_.Reconnect();
        names_ = client_.Targets();
        return names_;
    }

    bool Open(int index) override {
        Close();
        if (index < -1 || index >= static_cast<int>(names_.size()))
            return false;
        system_.Reconnect();
        open_ = client_.OpenOutput(index == -1 ? std::string()
                                               : names_[static_cast<std::size_t>(index)]);
        return open_;
    }

    void Close() override {
        if (open_)
            client_.CloseOutput();
        open_ = false;
    }

    void Send(const std::uint8_t* data, std::size_t size) override {
        if (open_)
            client_.Send(data, size);
    }

    std::string VirtualPortName() override { return client_.OutputPortName(); }
    bool SystemAlive() const override { return client_.Alive(); }
    std::optional<Progress> QueueProgress() const override {
        return Progress{client_.Queued(), client_.Taken()};
    }
    std::uint64_t Dropped() const override { return client_.Dropped(); }

private:
    JackMidiSystem& system_;
    JackClient& client_;
    std::vector<std::string> names_;
    bool open_ = false;
};

} // namespace

JackClient::JackClient() {
    Open();
}

bool JackClient::Open() {
    SilenceLibjack();
    jack_status_t status{};
    client_ = jack_client_open(kClientName, JackNoStartServer, &status);
    if (!client_)
        return false;
    // Callbacks can only be set before activation.
    jack_on_shutdown(client_, &JackClient::OnShutdown, this);
    if (jack_set_process_callback(client_, &JackClient::OnProcess, this) != 0 ||
        jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }
    // JACK appends a suffix when another client already has the name (the other
    // direction's, or another Velomire's).
    name_ = jack_get_client_name(client_);
    // libjack's first port listing in a process walks the server's whole port table in
    // shared memory (tens of milliseconds); taken here, it falls on the connecting
    // thread, which at start-up runs beside the window's construction.
    Sources();
    return true;
}

JackClient::~JackClient() {
    // The RT thread no longer runs once the client is closed.
    if (Shut() && ring_)
        jack_ringbuffer_free(ring_);
}

bool JackClient::Shut() {
    if (!client_)
        return true;
    CloseOutput();
    CloseInput();
    if (dead_.load(std::memory_order_acquire)) {
        Release();
        return true;
    }
    if (!AskServer([client = client_] {
            jack_deactivate(client);
            jack_client_close(client);
        })) {
        // Its death notice would go to a receiver that is about to be destroyed.
        deathReceiver_.store(nullptr, std::memory_order_seq_cst);
        return false;
    }
    client_ = nullptr;
    return true;
}

// Closes the client. One whose server has gone still holds libjack's threads and the
// server's shared memory until closed; closing it only fails to say goodbye.
void JackClient::Release() {
    jack_client_close(client_);
    client_ = nullptr;
}

bool JackClient::Alive() const {
    return client_ != nullptr && !dead_.load(std::memory_order_acquire) &&
           !g_unanswered.load(std::memory_order_acquire);
}

bool JackClient::DropIfDead() {
    if (!client_ || !dead_.load(std::memory_order_acquire))
        return false;
    // The dead client's threads end with it; after that nothing reads the state below.
    Release();
    inPort_.store(nullptr);
    outPort_.store(nullptr);
    sink_.store(nullptr);
    inProcess_.store(false);
    outputOpen_ = false;
    if (ring_)
        jack_ringbuffer_reset(ring_);
    partial_ = 0;
    dead_.store(false, std::memory_order_release);
    return true;
}

void JackClient::OnDeath(QObject* receiver, std::function<void()> notice) {
    if (deathReceiver_.load(std::memory_order_acquire))
        return;
    deathNotice_ = std::move(notice);
    // Sequentially consistent here and in OnShutdown: of a death and a listener that come
    // at the same time, at least one sees the other (a second notice is harmless).
    deathReceiver_.store(receiver, std::memory_order_seq_cst);
    // It may have died before anyone listened.
    if (dead_.load(std::memory_order_seq_cst))
        QMetaObject::invokeMethod(receiver, deathNotice_, Qt::QueuedConnection);
}

bool JackClient::Reopen() {
    if (!client_)
        Open();
    return Alive();
}

std::vector<std::string> JackClient::OthersPorts(unsigned long flags) {
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

std::vector<std::string> JackClient::Sources() {
    return OthersPorts(JackPortIsOutput);
}

std::vector<std::string> JackClient::Targets() {
    return OthersPorts(JackPortIsInput);
}

bool JackClient::OpenInput(const std::string& source, MidiInputSink* sink) {
    CloseInput();
    if (!Alive() || !sink)
        return false;
    // Found afresh: the device may have gone since the list was made.
    const std::vector<std::string> now = Sources();
    if (std::find(now.begin(), now.end(), source) == now.end())
        return false;
    jack_port_t* port =
        jack_port_register(client_, kInputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!port)
        return false;
    sink_.store(sink, std::memory_order_seq_cst);
    inPort_.store(port, std::memory_order_seq_cst);
    if (jack_connect(client_, source.c_str(), jack_port_name(port)) != 0) {
        CloseInput();
        return false;
    }
    return true;
}

void JackClient::CloseInput() {
    jack_port_t* port = inPort_.exchange(nullptr, std::memory_order_seq_cst);
    if (!port)
        return;
    // Once the RT thread is outside its callback it can only see the null port, so the
    // sink is no longer called from here on.
    while (inProcess_.load(std::memory_order_seq_cst))
        std::this_thread::yield();
    sink_.store(nullptr, std::memory_order_seq_cst);
    if (!dead_.load(std::memory_order_acquire))
        AskServer([client = client_, port] {
            jack_port_disconnect(client, port);
            jack_port_unregister(client, port);
        });
}

bool JackClient::OpenOutput(const std::string& target) {
    CloseOutput();
    if (!Alive())
        return false;
    if (!target.empty()) {
        const std::vector<std::string> now = Targets();
        if (std::find(now.begin(), now.end(), target) == now.end())
            return false;
    }
    if (!ring_) {
        ring_ = jack_ringbuffer_create(kRingBytes);
        if (!ring_)
            return false;
        // Keeps the RT thread from page faults; without the privilege it still works.
        jack_ringbuffer_mlock(ring_);
    }
    jack_port_t* port =
        jack_port_register(client_, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port)
        return false;
    // Published before connecting, so the port buffer is ours (cleared) in every period a
    // reader can see it.
    outPort_.store(port, std::memory_order_seq_cst);
    outputOpen_ = true;
    if (!target.empty() && jack_connect(client_, jack_port_name(port), target.c_str()) != 0) {
        CloseOutput();
        return false;
    }
    return true;
}

void JackClient::CloseOutput() {
    if (!outputOpen_)
        return;
    outputOpen_ = false;
    if (!dead_.load(std::memory_order_acquire)) {
        // Let what was sent leave first, then one more period so that the readers of the
        // period that took the last message have run.
        const auto deadline = std::chrono::steady_clock::now() + kFlushTimeout;
        auto waitUntil = [&](auto done) {
            while (!done() && !dead_.load(std::memory_order_acquire) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        waitUntil([&] { return jack_ringbuffer_read_space(ring_) == 0; });
        const std::uint64_t seen = cycles_.load(std::memory_order_acquire);
        waitUntil([&] { return cycles_.load(std::memory_order_acquire) >= seen + 2; });
    }
    jack_port_t* port = outPort_.exchange(nullptr, std::memory_order_seq_cst);
    // Once the RT thread is outside its callback it can only see the null port, so the
    // ring and the port are ours alone from here on.
    while (inProcess_.load(std::memory_order_seq_cst))
        std::this_thread::yield();
    // What did not leave in time is not sent to the next destination.
    jack_ringbuffer_read_advance(ring_, jack_ringbuffer_read_space(ring_));
    partial_ = 0;
    if (port && !dead_.load(std::memory_order_acquire))
        AskServer([client = client_, port] {
            jack_port_disconnect(client, port);
            jack_port_unregister(client, port);
        });
}

// Never waits: a full ring (the server has stopped running periods) drops.
void JackClient::Send(const std::uint8_t* data, std::size_t size) {
    if (!outputOpen_ || !data || size == 0 || dead_.load(std::memory_order_acquire))
        return;
    const std::size_t total = kHeaderBytes + size;
    if (jack_ringbuffer_write_space(ring_) < total) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    jack_ringbuffer_data_t region[2];
    jack_ringbuffer_get_write_vector(ring_, region);
    const auto header = static_cast<Header>(size);
    CopyToRing(region, 0, &header, kHeaderBytes);
    CopyToRing(region, kHeaderBytes, data, size);
    // Header and bytes become visible together: the RT thread never sees half a message.
    std::atomic_thread_fence(std::memory_order_release);
    jack_ringbuffer_write_advance(ring_, total);
    queued_.fetch_add(1, std::memory_order_release);
}

std::string JackClient::OutputPortName() const {
    return (name_.empty() ? std::string(kClientName) : name_) + ":" + kOutputPortName;
}

// RT thread: no locks, no allocation, no JACK calls that print.
int JackClient::OnProcess(jack_nframes_t frames, void* self) {
    auto* c = static_cast<JackClient*>(self);
    c->inProcess_.store(true, std::memory_order_seq_cst);
    if (jack_port_t* in = c->inPort_.load(std::memory_order_seq_cst); in && frames > 0)
        c->ReadInput(in, frames);
    if (jack_port_t* out = c->outPort_.load(std::memory_order_seq_cst); out && frames > 0) {
        if (void* buffer = jack_port_get_buffer(out, frames)) {
            jack_midi_clear_buffer(buffer);
            c->WriteQueued(buffer, frames);
        }
    }
    c->cycles_.fetch_add(1, std::memory_order_release);
    c->inProcess_.store(false, std::memory_order_seq_cst);
    return 0;
}

// RT thread. Hands this period's events to the sink in order; each JACK event is one
// message as the device sent it (the sink splits running status and the like).
void JackClient::ReadInput(jack_port_t* port, jack_nframes_t frames) {
    MidiInputSink* sink = sink_.load(std::memory_order_seq_cst);
    void* buffer = jack_port_get_buffer(port, frames);
    if (!sink || !buffer)
        return;
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) == 0 && event.size > 0)
            sink->OnMidiBytes(event.buffer, event.size);
    }
}

// RT thread. Moves queued messages into this period's port buffer, oldest first, until the
// ring is empty or the buffer is full; the rest stays queued for the next period. A message
// that does not fit even an empty buffer (a long SysEx) leaves in pieces, each filling an
// empty buffer, so that nothing waits behind it for longer than it takes.
void JackClient::WriteQueued(void* buffer, jack_nframes_t frames) {
    jack_nframes_t written = 0;
    while (jack_ringbuffer_read_space(ring_) >= kHeaderBytes) {
        std::atomic_thread_fence(std::memory_order_acquire);
        jack_ringbuffer_data_t region[2];
        jack_ringbuffer_get_read_vector(ring_, region);
        Header size = 0;
        CopyFromRing(region, 0, &size, kHeaderBytes);
        const std::size_t rest = size - partial_;
        // Checked first: a failed reserve makes libjack print from this thread.
        const std::size_t room = jack_midi_max_event_size(buffer);
        const bool whole = rest <= room;
        if (!whole && (written > 0 || room == 0))
            return; // next period, into an empty buffer
        const std::size_t n = whole ? rest : room;
        // Spread over the period, then sharing its last frame; never decreasing.
        const jack_nframes_t offset = std::min(written, frames - 1);
        jack_midi_data_t* event = jack_midi_event_reserve(buffer, offset, n);
        if (!event) {
            if (written > 0)
                return;
            // Refused by an empty buffer: it would block everything behind it for ever.
            jack_ringbuffer_read_advance(ring_, kHeaderBytes + size);
            partial_ = 0;
            dropped_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        CopyFromRing(region, kHeaderBytes + partial_, event, n);
        if (!whole) {
            partial_ += n;
            return; // the buffer is full
        }
        jack_ringbuffer_read_advance(ring_, kHeaderBytes + size);
        partial_ = 0;
        taken_.fetch_add(1, std::memory_order_release);
        ++written;
    }
}

// A JACK thread, after the client's last period.
void JackClient::OnShutdown(void* self) {
    auto* c = static_cast<JackClient*>(self);
    c->dead_.store(true, std::memory_order_seq_cst);
    if (QObject* receiver = c->deathReceiver_.load(std::memory_order_seq_cst))
        QMetaObject::invokeMethod(receiver, c->deathNotice_, Qt::QueuedConnection);
}

JackMidiSystem::JackMidiSystem(std::unique_ptr<JackClient> output)
    : output_(std::move(output)), input_(std::make_unique<JackClient>()) {}

JackMidiSystem::~JackMidiSystem() {
    for (std::unique_ptr<JackClient>* client : {&output_, &input_})
        if (!(*client)->Shut())
            Keep(std::move(*client));
}

void JackMidiSystem::Reconnect() {
    // libjack keeps one per-process state, bound to the server its first client met:
    // every client of a server that went away is closed before a new one is opened.
    DropDead();
    // Output first, for the plain client name.
    output_->Reopen();
    input_->Reopen();
}

void JackMidiSystem::WatchForDeath() {
    if (watcher_)
        return;
    watcher_ = std::make_unique<QObject>();
    output_->OnDeath(watcher_.get(), [this] { DropDead(); });
    input_->OnDeath(watcher_.get(), [this] { DropDead(); });
}

void JackMidiSystem::DropDead() {
    const bool output = output_->DropIfDead();
    const bool input = input_->DropIfDead();
    if (output || input)
        std::fprintf(stderr, "velomire: the JACK server has stopped\n");
}

// Backends are made on the thread that uses them, which is where the watcher belongs.
std::unique_ptr<MidiInputBackend> JackMidiSystem::CreateInput() {
    WatchForDeath();
    return std::make_unique<JackInput>(*this, *input_);
}

std::unique_ptr<MidiOutputBackend> JackMidiSystem::CreateOutput() {
    WatchForDeath();
    return std::make_unique<JackOutput>(*this, *output_);
}

} // namespace velomire
