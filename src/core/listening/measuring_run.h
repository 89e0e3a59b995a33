#pragma once

#include "core/listening/audio_ring.h"
#include "core/listening/loudness_meter.h"
#include "core/listening/loudness_table.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace velomire {

// What a measuring run plays: every key of a range at a few velocities, one note at a time.
struct MeasuringPlan {
    // Shorter notes leave the 400 ms window of the reading half empty at the sound's start
    // and cut a piano's attack short; tests may go lower, the window never does.
    static constexpr double kMinNoteSeconds = 0.5;

    int lowKey = 21;
    int highKey = 108;
    std::vector<int> velocities{32, 64, 96, 127};
    double noteSeconds = 0.6;    // from the onset to the note-off
    double releaseSeconds = 0.5; // after the note-off, still measured, before the next note
    double quietSeconds = 0.5;   // listened to before the first note: the input's own noise
    // For key k and planned velocity w, the velocity sent (clamped to 1..127); the table
    // still records w. Empty: w itself. Lets a run play through a correction curve.
    std::function<int(int key, int velocity)> velocityMap;

    // The keys (0..127) and velocities (1..127, sorted, at most LoudnessTable::kMaxVelocities)
    // it plays; empty when the range or the velocities hold none.
    std::vector<int> Keys() const;
    std::vector<int> Velocities() const;
    int NoteCount() const;
    // How long the notes take, level check included.
    double Seconds() const;
    int Sent(int key, int velocity) const;
};

// A measuring run as a state machine on the audio it hears: it starts with a level check
// (the input's noise, then one loud note: silence or clipping there ends the run, measuring
// nothing), then plays each planned note and records the highest momentary loudness from
// its onset to the end of its release. Its clock is the audio: a note lasts as many frames
// as it should whatever the thread that reads the audio does. The onset is the first chunk
// whose strike count shows the note left.
//
// One thread; the caller sends what Feed asks for (Strike, Lift) through the MIDI path.
class MeasuringRun {
public:
    enum class Phase { Quiet, LevelCheck, Measuring, Done, Failed };
    enum class Failure {
        None,
        Meter,       // libebur128 could not measure at this sample rate
        Silence,     // the level check heard nothing above the input's noise
        Clipping,    // the level check reached full scale
        NoteNotSent, // a note's strike never came back in the audio's stamps
    };
    struct Action {
        enum class Kind { Strike, Lift } kind;
        int key;
        int velocity; // sent (after the velocity map); 0 for Lift
    };

    // Readings below this, or less than kAboveNoise over the input's noise, are silence.
    static constexpr double kSilenceLufs = -70.0;
    static constexpr double kAboveNoise = 10.0;
    // A sample this large is full scale: the sound is clipped somewhere before us.
    static constexpr double kClipPeak = 0.999;
    // Audio heard after a strike without its onset before the note is taken as not sent.
    static constexpr double kOnsetWaitSeconds = 1.0;

    // `strikesBefore`: the engine's Strikes() before the run's first strike is posted.
    MeasuringRun(MeasuringPlan plan, unsigned sampleRate, std::uint32_t strikesBefore);

    // The audio, in order. Appends what to send now to `actions`.
    void Feed(const AudioChunk& chunk, std::vector<Action>& actions);

    Phase phase() const { return phase_; }
    bool Finished() const { return phase_ == Phase::Done || phase_ == Phase::Failed; }
    Failure failure() const { return failure_; }
    const MeasuringPlan& plan() const { return plan_; }
    // Measured so far; a note cut off by a cancel is not in it.
    const LoudnessTable& Table() const { return table_; }
    int NotesDone() const { return done_; }
    int NotesTotal() const { return static_cast<int>(notes_.size()); }
    double SecondsLeft() const;
    // The key sounding now (-1 when none), and its planned velocity.
    int CurrentKey() const;
    int CurrentVelocity() const;
    // What the level check heard: the input's noise, and the loud note.
    double NoiseLufs() const { return noise_; }
    double ProbeLufs() const { return probeLufs_; }
    double ProbePeak() const { return probePeak_; }
    // Notes whose sound reached full scale (their readings are too low by an unknown amount).
    int ClippedNotes() const { return clipped_; }

private:
    struct Note {
        int key;
        int velocity; // planned
    };
    enum class Step { Waiting, Sounding, Releasing };

    void StartNote(int key, int velocity, std::vector<Action>& actions);
    // The note in hand has ended its release.
    void EndNote(std::vector<Action>& actions);
    void Fail(Failure failure);
    double Threshold() const;

    MeasuringPlan plan_;
    std::vector<Note> notes_;
    LoudnessMeter meter_;
    LoudnessTable table_;
    Phase phase_ = Phase::Quiet;
    Failure failure_ = Failure::None;
    std::uint32_t strikesBefore_;
    std::uint32_t strikesSent_ = 0;
    Step step_ = Step::Waiting;
    int key_ = -1;            // the key in hand
    std::uint64_t heard_ = 0; // frames in the current phase or step
    std::uint64_t quietFrames_;
    std::uint64_t noteFrames_;
    std::uint64_t releaseFrames_;
    std::uint64_t onsetWaitFrames_;
    int done_ = 0;
    int clipped_ = 0;
    double noise_ = LoudnessMeter::kFloorLufs;
    double probeLufs_ = LoudnessMeter::kFloorLufs;
    double probePeak_ = 0.0;
};

} // namespace velomire
