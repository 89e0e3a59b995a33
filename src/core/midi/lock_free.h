#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace velomire {

// A bounded queue for one producer thread and one consumer thread; neither ever waits,
// locks or allocates after construction. Push fails when full, Pop when empty.
//
// "One producer" may be several threads taking turns, provided each turn begins with an
// acquire and ends with a release on something they share (see ExclusiveTurn).
template <typename T> class SpscRing {
    // Slots are written before they are read; left untouched, the pages of a large ring
    // cost neither start-up time nor resident memory.
    static_assert(std::is_trivially_default_constructible_v<T>);

public:
    explicit SpscRing(std::size_t capacity)
        : capacity_(capacity), slots_(std::make_unique_for_overwrite<T[]>(capacity)) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    bool Push(const T& value) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= capacity_)
            return false;
        slots_[head % capacity_] = value;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    bool Pop(T& out) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        out = slots_[tail % capacity_];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Producer: no room for another Push.
    bool Full() const {
        return head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire) >=
               capacity_;
    }
    bool Empty() const {
        return tail_.load(std::memory_order_acquire) == head_.load(std::memory_order_acquire);
    }
    std::size_t Capacity() const { return capacity_; }

private:
    const std::size_t capacity_;
    std::unique_ptr<T[]> slots_;
    alignas(64) std::atomic<std::size_t> head_{0}; // written by the producer
    alignas(64) std::atomic<std::size_t> tail_{0}; // written by the consumer
};

// An immutable value published by one thread (the UI) and read by another (the MIDI side)
// with one atomic swap. The reader marks what it reads in a hazard slot; the publisher frees
// an old value only once the reader cannot be holding it, so the reader never waits and
// never frees. Readers must take turns (one at a time).
template <typename T> class Published {
public:
    explicit Published(std::unique_ptr<const T> first) : current_(first.release()) {}
    ~Published() {
        delete current_.load();
        for (const T* old : retired_)
            delete old;
    }
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    // Publisher thread. The previous value is kept until the reader is done with it.
    void Publish(std::unique_ptr<const T> next) {
        const T* old = current_.exchange(next.release(), std::memory_order_seq_cst);
        retired_.push_back(old);
        Reclaim();
    }
    // Publisher thread: frees what the reader can no longer hold.
    void Reclaim() {
        const T* held = hazard_.load(std::memory_order_seq_cst);
        std::erase_if(retired_, [held](const T* p) {
            if (p == held)
                return false;
            delete p;
            return true;
        });
    }
    std::size_t RetiredCount() const { return retired_.size(); }
    // Publisher thread: the value in force.
    const T& Current() const { return *current_.load(std::memory_order_acquire); }

    // Reader: the value to use until Release. Wait-free: at most one retry per publish that
    // lands between the two loads.
    const T& Acquire() {
        const T* p = current_.load(std::memory_order_seq_cst);
        for (;;) {
            hazard_.store(p, std::memory_order_seq_cst);
            const T* again = current_.load(std::memory_order_seq_cst);
            if (again == p)
                return *p;
            p = again;
        }
    }
    void Release() { hazard_.store(nullptr, std::memory_order_release); }

private:
    std::atomic<const T*> current_;
    std::atomic<const T*> hazard_{nullptr};
    std::vector<const T*> retired_; // publisher thread only
};

// The right to run something that must never run on two threads at once, taken without
// waiting: a thread that finds it taken leaves its work queued for the holder, who looks
// again before and after letting go. So nobody waits and no queued work is left behind.
class ExclusiveTurn {
public:
    // Runs `drain` while holding the turn, as long as `pending` says work is queued;
    // returns at once when another thread holds it (that thread will see the work).
    template <typename Drain, typename Pending> void Run(Drain drain, Pending pending) {
        // Paired with the fence after letting go: of a thread queueing work and finding the
        // turn taken, and the holder letting go, one always sees the other.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        for (;;) {
            if (busy_.exchange(true, std::memory_order_acq_rel))
                return;
            drain();
            busy_.store(false, std::memory_order_release);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (!pending())
                return;
        }
    }

private:
    std::atomic<bool> busy_{false};
};

} // namespace velomire
