#pragma once

#include <cstddef>
#include <memory>

namespace velomire {

// The momentary loudness of one channel of audio (400 ms window, K-weighted, ITU-R BS.1770 /
// EBU R128) by libebur128, read every kStepSeconds, with the highest reading and the sample
// peak since the last StartPeak. Not for a real-time thread: libebur128 allocates.
class LoudnessMeter {
public:
    static constexpr double kStepSeconds = 0.01;
    // Below anything a sound generator plays; what silence reads as.
    static constexpr double kFloorLufs = -120.0;

    explicit LoudnessMeter(unsigned sampleRate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // False when libebur128 refused the sample rate (or memory ran out): nothing is measured.
    bool Ok() const { return state_ != nullptr; }
    unsigned SampleRate() const { return sampleRate_; }

    void Add(const float* samples, std::size_t frames);
    // Measures from here on as if silence came before: the readings of a note from its
    // onset, not the tail of the one before still in the window; the highest reading and
    // the peak start again.
    void Restart();
    // LUFS; kFloorLufs for silence or before any reading.
    double Momentary() const { return momentary_; }
    double MaxMomentary() const { return max_; }
    // Largest absolute sample value (1.0 is full scale).
    double SamplePeak() const { return peak_; }

private:
    struct State; // libebur128's
    std::unique_ptr<State> state_;
    unsigned sampleRate_;
    std::size_t step_;
    std::size_t sinceReading_ = 0;
    double momentary_ = kFloorLufs;
    double max_ = kFloorLufs;
    double peak_ = 0.0;
};

} // namespace velomire
