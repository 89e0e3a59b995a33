#include "core/listening/measuring_run.h"

#include <algorithm>
#include <cmath>

namespace velomire {

std::vector<int> MeasuringPlan::Keys() const {
    std::vector<int> keys;
    for (int k = std::max(lowKey, 0); k <= std::min(highKey, 127); ++k)
        keys.push_back(k);
    return keys;
}

std::vector<int> MeasuringPlan::Velocities() const {
    return LoudnessTable(velocities).Velocities();
}

int MeasuringPlan::NoteCount() const {
    return static_cast<int>(Keys().size() * Velocities().size());
}

double MeasuringPlan::Seconds() const {
    return quietSeconds + (NoteCount() + 1) * (noteSeconds + releaseSeconds);
}

int MeasuringPlan::Sent(int key, int velocity) const {
    return std::clamp(velocityMap ? velocityMap(key, velocity) : velocity, 1, 127);
}

namespace {
std::uint64_t Frames(double seconds, unsigned sampleRate) {
    return static_cast<std::uint64_t>(std::llround(std::max(seconds, 0.0) * sampleRate));
}
} // namespace

MeasuringRun::MeasuringRun(MeasuringPlan plan, unsigned sampleRate, std::uint32_t strikesBefore)
    : plan_(std::move(plan)), meter_(sampleRate), table_(plan_.Velocities()),
      strikesBefore_(strikesBefore), quietFrames_(Frames(plan_.quietSeconds, sampleRate)),
      noteFrames_(Frames(plan_.noteSeconds, sampleRate)),
      releaseFrames_(Frames(plan_.releaseSeconds, sampleRate)),
      onsetWaitFrames_(Frames(kOnsetWaitSeconds, sampleRate)) {
    for (const int key : plan_.Keys())
        for (const int velocity : table_.Velocities())
            notes_.push_back({key, velocity});
    if (!meter_.Ok())
        Fail(Failure::Meter);
    else if (notes_.empty())
        phase_ = Phase::Done;
}

void MeasuringRun::Feed(const AudioChunk& chunk, std::vector<Action>& actions) {
    if (Finished())
        return;
    const std::uint64_t frames = std::min<std::size_t>(chunk.frames, AudioChunk::kFrames);
    if (phase_ != Phase::Quiet && step_ == Step::Waiting &&
        static_cast<std::uint32_t>(chunk.strikes - strikesBefore_) >= strikesSent_) {
        // The onset: readings count from this chunk on, with nothing before it.
        meter_.Restart();
        step_ = Step::Sounding;
        heard_ = 0;
    }
    meter_.Add(chunk.samples, frames);
    heard_ += frames;
    if (phase_ == Phase::Quiet) {
        if (heard_ >= quietFrames_) {
            noise_ = meter_.MaxMomentary();
            phase_ = Phase::LevelCheck;
            // The loudest note of the plan, mid-range: where clipping is likeliest.
            const int key = (notes_.front().key + notes_.back().key) / 2;
            StartNote(key, table_.Velocities().back(), actions);
        }
        return;
    }
    switch (step_) {
    case Step::Waiting:
        if (heard_ > onsetWaitFrames_)
            Fail(Failure::NoteNotSent);
        return;
    case Step::Sounding:
        if (heard_ >= noteFrames_) {
            actions.push_back({Action::Kind::Lift, key_, 0});
            step_ = Step::Releasing;
            heard_ = 0;
        }
        return;
    case Step::Releasing:
        if (heard_ >= releaseFrames_)
            EndNote(actions);
        return;
    }
}

void MeasuringRun::StartNote(int key, int velocity, std::vector<Action>& actions) {
    key_ = key;
    step_ = Step::Waiting;
    heard_ = 0;
    ++strikesSent_;
    actions.push_back({Action::Kind::Strike, key, plan_.Sent(key, velocity)});
}

void MeasuringRun::EndNote(std::vector<Action>& actions) {
    const double lufs = meter_.MaxMomentary();
    const double peak = meter_.SamplePeak();
    key_ = -1;
    if (phase_ == Phase::LevelCheck) {
        probeLufs_ = lufs;
        probePeak_ = peak;
        if (lufs < Threshold())
            Fail(Failure::Silence);
        else if (peak >= kClipPeak)
            Fail(Failure::Clipping);
        else {
            phase_ = Phase::Measuring;
            StartNote(notes_.front().key, notes_.front().velocity, actions);
        }
        return;
    }
    const Note& note = notes_[static_cast<std::size_t>(done_)];
    table_.Set(note.key, table_.IndexOf(note.velocity),
               lufs < Threshold() ? LoudnessTable::kSilent : lufs);
    if (peak >= kClipPeak)
        ++clipped_;
    if (++done_ == NotesTotal()) {
        phase_ = Phase::Done;
        return;
    }
    const Note& next = notes_[static_cast<std::size_t>(done_)];
    StartNote(next.key, next.velocity, actions);
}

void MeasuringRun::Fail(Failure failure) {
    phase_ = Phase::Failed;
    failure_ = failure;
    key_ = -1;
}

double MeasuringRun::Threshold() const {
    return std::max(kSilenceLufs, noise_ + kAboveNoise);
}

int MeasuringRun::CurrentKey() const {
    return Finished() ? -1 : key_;
}

int MeasuringRun::CurrentVelocity() const {
    if (phase_ == Phase::Measuring && done_ < NotesTotal())
        return notes_[static_cast<std::size_t>(done_)].velocity;
    return phase_ == Phase::LevelCheck ? table_.Velocities().back() : 0;
}

double MeasuringRun::SecondsLeft() const {
    if (Finished())
        return 0.0;
    const double note = plan_.noteSeconds + plan_.releaseSeconds;
    const int notesLeft = NotesTotal() - done_ + (phase_ == Phase::Measuring ? 0 : 1);
    const double quiet = phase_ == Phase::Quiet ? plan_.quietSeconds : 0.0;
    return quiet + notesLeft * note;
}

} // namespace velomire
