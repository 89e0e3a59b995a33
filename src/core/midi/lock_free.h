#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace velomire {

// Touches and locks memory a real-time thread will use, so that its first use takes no page
// fault (a fault there can cost a period). Without the privilege to lock, touching still
// brings the pages in. Only while no other thread uses the memory.
inline void PrepareForRealtime(void* memory, std::size_t bytes) {
    std::memset(memory, 0, bytes);
    ::mlock(memory, bytes);
}

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
    // Before the threads use it.
    void PrepareForRealtime() { velomire::PrepareForRealtime(slots_.get(), sizeof(T) * capacity_); }

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
// waiting: a thread that finds it taken leaves its work queued for the holder, who drains
// again for every request that came while it drained. So nobody waits and no queued work is
// left behind. One counter of requests carries both the turn and its hand-over (each turn
// begins with an acquire and ends with a release on it), with no fences.
class ExclusiveTurn {
public:
    // Runs `drain`, once or more, while holding the turn; returns at once when another
    // thread holds it (that thread drains again for this request).
    template <typename Drain> void Run(Drain drain) {
        int requests = 1;
        if (requests_.fetch_add(1, std::memory_order_acq_rel) != 0)
            return;
        for (;;) {
            drain();
            // The requests this drain answered are taken off; any that came meanwhile remain.
            requests = requests_.fetch_sub(requests, std::memory_order_acq_rel) - requests;
            if (requests == 0)
                return;
        }
    }

private:
    std::atomic<int> requests_{0};
};

} // namespace velomire
