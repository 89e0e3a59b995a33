#include "core/listening/loudness_meter.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>

namespace velomire {

struct LoudnessMeter::State {
    ebur128_state* meter;
    ~State() { ebur128_destroy(&meter); }
};

LoudnessMeter::LoudnessMeter(unsigned sampleRate)
    : sampleRate_(sampleRate),
      step_(std::max<std::size_t>(1, static_cast<std::size_t>(sampleRate * kStepSeconds))) {
    Restart();
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::Add(const float* samples, std::size_t frames) {
    if (!state_)
        return;
    while (frames > 0) {
        const std::size_t n = std::min(frames, step_ - sinceReading_);
        for (std::size_t i = 0; i < n; ++i)
            peak_ = std::max(peak_, static_cast<double>(std::fabs(samples[i])));
        if (ebur128_add_frames_float(state_->meter, samples, n) != EBUR128_SUCCESS)
            return;
        samples += n;
        frames -= n;
        sinceReading_ += n;
        if (sinceReading_ == step_) {
            sinceReading_ = 0;
            double lufs = kFloorLufs;
            if (ebur128_loudness_momentary(state_->meter, &lufs) != EBUR128_SUCCESS ||
                !std::isfinite(lufs))
                lufs = kFloorLufs; // silence reads as -inf
            momentary_ = std::max(lufs, kFloorLufs);
            max_ = std::max(max_, momentary_);
        }
    }
}

void LoudnessMeter::Restart() {
    // A fresh state: its window and its filters hold silence.
    state_.reset();
    if (sampleRate_ > 0)
        if (ebur128_state* meter = ebur128_init(1, sampleRate_, EBUR128_MODE_M))
            state_.reset(new State{meter});
    sinceReading_ = 0;
    momentary_ = kFloorLufs;
    max_ = kFloorLufs;
    peak_ = 0.0;
}

} // namespace velomire
