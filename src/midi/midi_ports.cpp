#include "midi/midi_ports.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace velomire {

namespace {
constexpr std::uint8_t kActiveSensing = 0xFE;
constexpr std::uint8_t kSysExStart = 0xF0;

// The name of a listed device, or empty for a number outside the list.
QString NameAt(const std::vector<std::string>& names, int id) {
    if (id < 0 || id >= static_cast<int>(names.size()))
        return {};
    return QString::fromStdString(names[static_cast<std::size_t>(id)]);
}
} // namespace

MIDIInput::MIDIInput(MidiSystem& system, QObject* parent)
    : QObject(parent), system_(system),
      ring_(std::make_unique_for_overwrite<Slot[]>(kQueueCapacity)) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ >= 0) {
        notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &MIDIInput::OnWake);
    }
}

MIDIInput::~MIDIInput() {
    receiving_.store(false);
    if (backend_)
        backend_->Close();
    if (notifier_)
        notifier_->setEnabled(false);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

// Made at first use, not with the port: the window is built while the MIDI system is
// still being reached, and only its devices need it.
MidiInputBackend& MIDIInput::Backend() {
    if (!backend_)
        backend_ = system_.CreateInput();
    return *backend_;
}

int MIDIInput::DeviceCount() {
    names_ = Backend().DeviceNames();
    return static_cast<int>(names_.size());
}

QString MIDIInput::DeviceName(int id) const {
    return NameAt(names_, id);
}

void MIDIInput::Action(PortAction action) {
    switch (action) {
    case PortAction::Open:
        if (open_)
            Action(PortAction::Close);
        if (names_.empty())
            DeviceCount();
        open_ = Backend().Open(deviceId_, this);
        break;
    case PortAction::Start:
        if (open_) {
            // The device thread is not delivering yet: its stream starts afresh.
            split_ = {};
            sysex_.Discard();
            receiving_.store(true, std::memory_order_release);
        }
        break;
    case PortAction::Stop:
        receiving_.store(false, std::memory_order_release);
        break;
    case PortAction::Close:
        receiving_.store(false, std::memory_order_release);
        if (backend_)
            backend_->Close();
        if (split_.inSysEx) // it can never be finished now
            sysexIncomplete_.fetch_add(1, std::memory_order_relaxed);
        split_ = {};
        sysex_.Discard();
        open_ = false;
        eventEnabled_ = false;
        // The producer has stopped: what is left belongs to the device just closed.
        ClearQueue();
        break;
    case PortAction::TakeNext: {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            break;
        if (ring_[tail % kQueueCapacity].size == 0)
            sysex_.Pop();
        tail_.store(tail + 1, std::memory_order_release);
        break;
    }
    case PortAction::Send:
        break;
    }
}

void MIDIInput::SetFilter(int status, bool drop) {
    if (status == kActiveSensing)
        dropSensing_.store(drop, std::memory_order_relaxed);
}

void MIDIInput::SetMessageEventEnable(bool enable) {
    eventEnabled_ = enable;
    if (enable && MessageCount() > 0)
        Wake();
}

int MIDIInput::MessageCount() const {
    return static_cast<int>(head_.load(std::memory_order_acquire) -
                            tail_.load(std::memory_order_relaxed));
}

const MIDIInput::Slot* MIDIInput::Front() const {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire))
        return nullptr;
    return &ring_[tail % kQueueCapacity];
}

std::int16_t MIDIInput::Status() const {
    const Slot* s = Front();
    if (!s)
        return 0;
    return s->size == 0 ? kSysExStart : s->bytes[0];
}

std::int16_t MIDIInput::Data1() const {
    const Slot* s = Front();
    return (s && s->size >= 2) ? s->bytes[1] : 0;
}

std::int16_t MIDIInput::Data2() const {
    const Slot* s = Front();
    return (s && s->size >= 3) ? s->bytes[2] : 0;
}

const std::uint8_t* MIDIInput::MessageBytes() const {
    const Slot* s = Front();
    if (!s)
        return nullptr;
    if (s->size > 0)
        return s->bytes.data();
    const auto sysex = sysex_.Front();
    return sysex.empty() ? nullptr : sysex.data();
}

std::size_t MIDIInput::MessageSize() const {
    const Slot* s = Front();
    if (!s)
        return 0;
    return s->size > 0 ? s->size : sysex_.Front().size();
}

// MIDI thread. A device event may carry several messages, running status, real-time bytes
// between them or a piece of a SysEx (JACK passes events as they were sent): it is split
// into whole messages here, so everything after this sees one message per slot.
void MIDIInput::OnMidiBytes(const std::uint8_t* data, std::size_t size) {
    if (!receiving_.load(std::memory_order_acquire) || size == 0)
        return;
    struct Sink {
        MIDIInput& in;
        void Message(const std::uint8_t* m, std::size_t n) { in.Enqueue(m, n); }
        void SysExBytes(const std::uint8_t* b, std::size_t n) { in.sysex_.Append(b, n); }
        void SysExEnd() { in.EnqueueSysEx(); }
        void SysExDropped() {
            in.sysex_.Discard();
            in.sysexIncomplete_.fetch_add(1, std::memory_order_relaxed);
        }
    } sink{*this};
    SplitMidiBytes(split_, data, size, sink);
}

// MIDI thread: no locks, no allocation.
void MIDIInput::Enqueue(const std::uint8_t* data, std::size_t size) {
    if (data[0] == kActiveSensing && dropSensing_.load(std::memory_order_relaxed))
        return;
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= kQueueCapacity) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Slot& slot = ring_[head % kQueueCapacity];
    slot.size = static_cast<std::uint8_t>(size);
    std::memcpy(slot.bytes.data(), data, size);
    Publish(head);
}

// MIDI thread: the SysEx assembled in sysex_ is whole; it takes a slot, marked by size 0.
void MIDIInput::EnqueueSysEx() {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    // A slot first: the consumer finds a SysEx's bytes through its slot.
    if (head - tail_.load(std::memory_order_acquire) >= kQueueCapacity) {
        sysex_.Discard();
        sysexDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!sysex_.Publish()) {
        sysexDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ring_[head % kQueueCapacity].size = 0;
    Publish(head);
}

void MIDIInput::Publish(std::size_t head) {
    head_.store(head + 1, std::memory_order_release);
    if (!pending_.exchange(true, std::memory_order_acq_rel))
        Wake();
}

void MIDIInput::Wake() {
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
}

void MIDIInput::OnWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(wakeFd_, &count, sizeof count);
    // Cleared before draining, so a message that arrives during the drain wakes us again.
    pending_.store(false, std::memory_order_release);
    if (eventEnabled_ && MessageCount() > 0)
        Q_EMIT MessageReceived();
}

void MIDIInput::ClearQueue() {
    tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release);
    sysex_.Clear();
}

MIDIOutput::MIDIOutput(MidiSystem& system) : system_(system) {}

MIDIOutput::~MIDIOutput() {
    if (backend_)
        backend_->Close();
}

// Made at first use, as the input's.
MidiOutputBackend& MIDIOutput::Backend() {
    if (!backend_)
        backend_ = system_.CreateOutput();
    return *backend_;
}

bool MIDIOutput::SystemAlive() const {
    return !backend_ || backend_->SystemAlive();
}

MIDIOutput::Mark MIDIOutput::Position() const {
    Mark m{given_, 0};
    if (backend_)
        if (const auto progress = backend_->QueueProgress())
            m.queued = progress->queued;
    return m;
}

std::uint64_t MIDIOutput::DeliveredBetween(Mark from, Mark to) const {
    const auto progress = backend_ ? backend_->QueueProgress() : std::nullopt;
    if (!progress)
        return to.given - from.given;
    // The queue keeps order: a message left when all queued before it have.
    const std::uint64_t taken = progress->taken > from.queued ? progress->taken - from.queued : 0;
    return std::min(taken, to.queued - from.queued);
}

std::uint64_t MIDIOutput::Dropped() const {
    return backend_ ? backend_->Dropped() : 0;
}

int MIDIOutput::DeviceCount() {
    names_ = Backend().DeviceNames();
    return static_cast<int>(names_.size());
}

QString MIDIOutput::DeviceName(int id) {
    if (id == -1)
        return QString::fromStdString(Backend().VirtualPortName());
    return NameAt(names_, id);
}

void MIDIOutput::Action(PortAction action) {
    switch (action) {
    case PortAction::Open:
        if (open_)
            Action(PortAction::Close);
        if (names_.empty())
            DeviceCount();
        open_ = Backend().Open(deviceId_);
        break;
    case PortAction::Close:
        if (backend_)
            backend_->Close();
        open_ = false;
        break;
    case PortAction::Send:
        SendFields();
        break;
    default:
        break;
    }
}

void MIDIOutput::SendFields() {
    if (!open_)
        return;
    const auto status = static_cast<std::uint8_t>(status_);
    const int length = ShortMessageLength(status);
    if (length == 0)
        return;
    // Masked so that a stray value can never put a status byte into the data.
    const std::uint8_t bytes[3] = {status, static_cast<std::uint8_t>(data1_ & 0x7F),
                                   static_cast<std::uint8_t>(data2_ & 0x7F)};
    Give(bytes, static_cast<std::size_t>(length));
}

void MIDIOutput::SendBytes(const std::uint8_t* data, std::size_t size) {
    if (open_ && data && size > 0)
        Give(data, size);
}

void MIDIOutput::Give(const std::uint8_t* data, std::size_t size) {
    backend_->Send(data, size);
    ++given_;
}

} // namespace velomire
