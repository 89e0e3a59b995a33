#pragma once

#include "midi/midi_backend.h"
#include "midi/sysex_queue.h"

#include <QObject>
#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace velomire {

// Command codes given to a port's Action.
enum class PortAction : int {
    Open = 1,
    Close = 2,
    Start = 4,    // input: start queueing after opening
    Stop = 5,     // input: stop queueing before closing
    TakeNext = 6, // input: remove the current message
    Send = 7,     // output: send the current fields
};

// The MIDI input port: opens a device by number and queues what it sends.
//
// The device's thread only appends to a preallocated single-producer ring and, when the
// UI side is not already due to look, wakes it through an eventfd. The UI thread then
// raises MessageReceived, whose handler drains the queue with MessageCount, Status,
// Data1, Data2 and TakeNext. A SysEx takes one slot of that ring, and its bytes wait in a
// byte ring of their own (kSysExQueueBytes, allocated once): what waits for a stalled UI
// thread is bounded, and what does not fit is counted, never dropped unseen.
class MIDIInput final : public QObject, private MidiInputSink {
    Q_OBJECT
public:
    explicit MIDIInput(MidiSystem& system, QObject* parent = nullptr);
    ~MIDIInput() override;

    int State() const { return open_ ? 1 : 0; }
    void SetDeviceID(int id) { deviceId_ = id; }
    int DeviceID() const { return deviceId_; }
    void Action(PortAction action);

    // Devices 0..count-1; names as the MIDI system reports them (enumerates afresh).
    int DeviceCount();
    QString DeviceName(int id) const;

    // Only status 254 (active sensing) is filterable; other statuses are ignored.
    void SetFilter(int status, bool drop);
    void SetMessageEventEnable(bool enable);

    // Current (oldest) message. Data1/Data2 are 0 where the message has no such byte.
    int MessageCount() const;
    std::int16_t Status() const;
    std::int16_t Data1() const;
    std::int16_t Data2() const;
    // The whole current message: 1..3 bytes, or a complete SysEx.
    const std::uint8_t* MessageBytes() const;
    std::size_t MessageSize() const;

    // Messages lost because the queue was full (a UI thread stalled for seconds).
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Whole SysEx messages lost: longer than kMaxSysExBytes, or no room left to wait in.
    std::uint64_t SysExDropped() const { return sysexDropped_.load(std::memory_order_relaxed); }
    // SysEx messages the device broke off (see SplitMidiBytes), or that were still
    // unfinished when the port closed.
    std::uint64_t SysExIncomplete() const {
        return sysexIncomplete_.load(std::memory_order_relaxed);
    }

    static constexpr std::size_t kQueueCapacity = 1u << 16;

Q_SIGNALS:
    void MessageReceived();

private:
    struct Slot {
        std::uint8_t size; // 0 marks a SysEx waiting in sysex_
        std::array<std::uint8_t, 3> bytes;
    };

    void OnMidiBytes(const std::uint8_t* data, std::size_t size) override;
    void Enqueue(const std::uint8_t* data, std::size_t size);
    void EnqueueSysEx();
    void Publish(std::size_t head);
    void OnWake();
    void Wake();
    void ClearQueue();
    const Slot* Front() const;

    MidiInputBackend& Backend();

    MidiSystem& system_;
    std::unique_ptr<MidiInputBackend> backend_;
    std::vector<std::string> names_;
    int deviceId_ = 0;
    bool open_ = false;
    bool eventEnabled_ = false;
    std::atomic<bool> receiving_{false};
    std::atomic<bool> dropSensing_{false};

    // Left uninitialised: a slot is written before it is read, and untouched pages of a
    // large allocation cost neither start-up time nor resident memory.
    std::unique_ptr<Slot[]> ring_;
    std::atomic<std::size_t> head_{0}; // written by the MIDI thread
    std::atomic<std::size_t> tail_{0}; // written by the UI thread
    std::atomic<bool> pending_{false};
    std::atomic<std::uint64_t> dropped_{0};
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;

    // MIDI thread only, and the UI thread while receiving_ is false.
    MidiSplitState split_{};
    SysExQueue sysex_{kSysExQueueBytes, kMaxSysExBytes};
    std::atomic<std::uint64_t> sysexDropped_{0};
    std::atomic<std::uint64_t> sysexIncomplete_{0};
};

// The MIDI output port: opens a device by number (-1: Velomire's own virtual port) and
// sends the message made of its three fields.
class MIDIOutput final {
public:
    explicit MIDIOutput(MidiSystem& system);
    ~MIDIOutput();

    int State() const { return open_ ? 1 : 0; }
    void SetDeviceID(int id) { deviceId_ = id; }
    int DeviceID() const { return deviceId_; }
    void Action(PortAction action);

    // Devices -1..count-1; -1 is the virtual port other programs connect to.
    int DeviceCount();
    QString DeviceName(int id);

    void SetStatus(int v) { status_ = static_cast<std::int16_t>(v); }
    void SetData1(int v) { data1_ = static_cast<std::int16_t>(v); }
    void SetData2(int v) { data2_ = static_cast<std::int16_t>(v); }

    // True until the MIDI system is known to have gone away or to hang.
    bool SystemAlive() const;

    // Sends raw bytes (SysEx) unchanged. Nothing happens while closed.
    void SendBytes(const std::uint8_t* data, std::size_t size);

    // A point in what this port has sent, to tell afterwards what left after it.
    struct Mark {
        std::uint64_t given = 0;  // messages handed to an open device
        std::uint64_t queued = 0; // of them, queued by a backend that sends later
    };
    Mark Position() const;
    // How many of the messages sent between two marks have left for the device so far:
    // with a backend that queues, only those its MIDI system has taken.
    std::uint64_t DeliveredBetween(Mark from, Mark to) const;
    // Messages the device's queue refused (counted since the port was made).
    std::uint64_t Dropped() const;

private:
    void SendFields();
    void Give(const std::uint8_t* data, std::size_t size);

    MidiOutputBackend& Backend();

    MidiSystem& system_;
    std::unique_ptr<MidiOutputBackend> backend_;
    std::vector<std::string> names_;
    int deviceId_ = 0;
    bool open_ = false;
    std::int16_t status_ = 0;
    std::int16_t data1_ = 0;
    std::int16_t data2_ = 0;
    std::uint64_t given_ = 0;
};

} // namespace velomire
