#pragma once

#include "core/midi/lock_free.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace velomire {

// Complete SysEx messages on their way from a device's input to the MIDI side's drain, which
// sends them on, in one byte ring allocated up front: one producer, one consumer, no locks,
// no allocation after construction. The producer assembles a message in the ring from its pieces and publishes
// it once whole; a message never wraps around the ring's end, so the consumer reads it in
// place.
class SysExQueue {
public:
    // `ringBytes` must hold at least two messages of `maxMessage` bytes.
    SysExQueue(std::size_t ringBytes, std::size_t maxMessage)
        : capacity_(Align(ringBytes)), maxMessage_(maxMessage),
          ring_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity_)) {}

    // Before the threads use it.
    void PrepareForRealtime() { velomire::PrepareForRealtime(ring_.get(), capacity_); }

    // Producer. Adds bytes to the message being assembled, starting one if none is. Past
    // the size limit or the free space the message is spoilt, and Publish will refuse it.
    void Append(const std::uint8_t* data, std::size_t size) {
        if (!assembling_) {
            assembling_ = true;
            spoilt_ = false;
            length_ = 0;
            const std::uint64_t head = head_.load(std::memory_order_relaxed);
            const std::size_t at = Physical(head);
            // Room for the longest message before the end, or it starts at the beginning.
            skip_ = at + kHeader + maxMessage_ > capacity_ ? capacity_ - at : 0;
            start_ = head + skip_;
        }
        if (spoilt_)
            return;
        const std::uint64_t end = start_ + kHeader + Align(length_ + size);
        if (length_ + size > maxMessage_ ||
            end - tail_.load(std::memory_order_acquire) > capacity_) {
            spoilt_ = true;
            return;
        }
        std::memcpy(&ring_[Physical(start_) + kHeader + length_], data, size);
        length_ += size;
    }

    // Producer. Makes the assembled message visible to the consumer; false when it was
    // spoilt (too long, or the consumer had left too little room) and so is gone.
    bool Publish() {
        if (!assembling_)
            return false;
        assembling_ = false;
        if (spoilt_ || length_ == 0)
            return false;
        if (skip_ > 0)
            Put(Physical(head_.load(std::memory_order_relaxed)), kWrapMark);
        Put(Physical(start_), static_cast<Header>(length_));
        head_.store(start_ + kHeader + Align(length_), std::memory_order_release);
        return true;
    }

    // Producer, or the consumer while no producer runs: forgets the assembled message.
    void Discard() { assembling_ = false; }

    // Consumer. The oldest published message, empty when there is none.
    std::span<const std::uint8_t> Front() const {
        std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return {};
        Header length = Get(Physical(tail));
        if (length == kWrapMark) {
            tail += capacity_ - Physical(tail);
            length = Get(0);
        }
        return {&ring_[Physical(tail) + kHeader], length};
    }

    // Consumer. Removes the oldest message, if any.
    void Pop() {
        std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return;
        if (Get(Physical(tail)) == kWrapMark)
            tail += capacity_ - Physical(tail);
        tail += kHeader + Align(Get(Physical(tail)));
        tail_.store(tail, std::memory_order_release);
    }

private:
    using Header = std::uint32_t;
    static constexpr std::size_t kHeader = sizeof(Header);
    static constexpr Header kWrapMark = ~Header{0}; // the rest up to the end is unused

    // Whole headers only, so one always fits before the end when any room is left there.
    static constexpr std::size_t Align(std::size_t n) { return (n + kHeader - 1) & ~(kHeader - 1); }
    std::size_t Physical(std::uint64_t position) const {
        return static_cast<std::size_t>(position % capacity_);
    }
    void Put(std::size_t at, Header h) { std::memcpy(&ring_[at], &h, kHeader); }
    Header Get(std::size_t at) const {
        Header h;
        std::memcpy(&h, &ring_[at], kHeader);
        return h;
    }

    const std::size_t capacity_;
    const std::size_t maxMessage_;
    // Left uninitialised: bytes are written before they are read, and untouched pages
    // cost no resident memory.
    std::unique_ptr<std::uint8_t[]> ring_;
    std::atomic<std::uint64_t> head_{0}; // end of the published messages; producer writes
    std::atomic<std::uint64_t> tail_{0}; // start of the oldest one; consumer writes

    // Producer only: the message being assembled.
    bool assembling_ = false;
    bool spoilt_ = false;
    std::size_t skip_ = 0;    // unused bytes before it, up to the ring's end
    std::uint64_t start_ = 0; // where its header goes
    std::size_t length_ = 0;
};

} // namespace velomire
