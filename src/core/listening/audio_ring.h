#pragma once

#include "core/midi/lock_free.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velomire {

// A piece of captured audio, one channel, and the measuring run's strikes sent before it
// was captured (RealtimeEngine::Strikes): the piece in which the count moves holds a note's
// onset, to within one period.
struct AudioChunk {
    static constexpr std::size_t kFrames = 256;
    std::uint32_t strikes;
    std::uint16_t frames;
    float samples[kFrames];
};

// Audio from the capturing thread (JACK's real-time thread) to whoever measures it, in
// order. The writer only copies into preallocated chunks, never waits or allocates; a chunk
// is handed over when full or when the strike count changes, so each chunk has one count.
// What does not fit is counted, and the measurement is then known to be incomplete.
class AudioRing {
public:
    explicit AudioRing(std::size_t chunks) : ring_(chunks) {}

    // Capturing thread.
    void Write(const float* samples, std::size_t frames, std::uint32_t strikes) {
        if (pending_.frames > 0 && strikes != pending_.strikes)
            Hand();
        pending_.strikes = strikes;
        while (frames > 0) {
            const std::size_t room = AudioChunk::kFrames - pending_.frames;
            const std::size_t n = frames < room ? frames : room;
            for (std::size_t i = 0; i < n; ++i)
                pending_.samples[pending_.frames + i] = samples[i];
            pending_.frames = static_cast<std::uint16_t>(pending_.frames + n);
            samples += n;
            frames -= n;
            if (pending_.frames == AudioChunk::kFrames)
                Hand();
        }
    }
    // Reading thread: the next chunk, in order.
    bool Read(AudioChunk& chunk) { return ring_.Pop(chunk); }
    // Frames the reader never got: it was too slow.
    std::uint64_t DroppedFrames() const { return dropped_.load(std::memory_order_acquire); }
    // Before the capturing thread runs.
    void PrepareForRealtime() {
        ring_.PrepareForRealtime();
        velomire::PrepareForRealtime(&pending_, sizeof pending_);
    }

private:
    void Hand() {
        if (!ring_.Push(pending_))
            dropped_.fetch_add(pending_.frames, std::memory_order_acq_rel);
        pending_.frames = 0;
    }

    SpscRing<AudioChunk> ring_;
    AudioChunk pending_{0, 0, {}}; // capturing thread
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace velomire
