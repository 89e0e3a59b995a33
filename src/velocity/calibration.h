#pragma once

#include "velocity/note_table.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velomire {

// Evening out the keyboard from what the player plays: each key is struck a few times softly
// and a few times firmly.

enum class Pass : std::uint8_t { Soft = 0, Firm = 1 };
constexpr int kPassCount = 2;
constexpr int kKeyCount = kHighestKey - kLowestKey + 1;
// With two strikes a bad one cannot be told from a good one; three leave a majority.
constexpr int kMinStrikesPerPass = 3;

// A key's level on one pass, robust to a missed or doubled strike: strikes further from the
// median than max(8 steps, 3 x 1.4826 x the median absolute deviation) are set aside and the
// rest averaged. 1.4826 x MAD estimates the per-strike scatter for Gaussian noise, so three
// of them keep 99.7% of honest strikes; the 8-step floor (about three times the scatter of a
// real keyboard) stops a tight cluster (MAD 0 when three strikes agree) from throwing out
// honest neighbours. Once the wild strikes are gone the mean beats the median: with five
// strikes its noise is about 4/5 of the median's. Fewer than three strikes: their mean, as
// nothing can be told apart. No strikes: nothing.
std::optional<double> RobustLevel(std::span<const std::uint8_t> strikes);

// The raw velocities struck on each key in each pass, and which keys the player left out.
// Notes outside 21..108 are ignored by every call.
class CalibrationRun {
public:
    // Records a strike. False, and nothing recorded, for a note outside the keyboard or a
    // velocity outside 1..127 (a note-on with velocity 0 is a release).
    bool AddStrike(int note, Pass pass, int velocity);
    void ClearKey(int note);
    void ClearKey(int note, Pass pass);
    void ClearAll();
    // A left-out key keeps its strikes, so taking it back needs no replay.
    void SetLeftOut(int note, bool leftOut);
    bool IsLeftOut(int note) const;

    std::span<const std::uint8_t> Strikes(int note, Pass pass) const;
    int StrikeCount(int note, Pass pass) const;
    // RobustLevel of the key's strikes on that pass, for the chart.
    std::optional<double> Level(int note, Pass pass) const;
    // Not left out and at least kMinStrikesPerPass strikes on both passes.
    bool TakesPart(int note) const;

private:
    struct Key {
        std::array<std::vector<std::uint8_t>, kPassCount> strikes;
        bool leftOut = false;
    };
    std::array<Key, kKeyCount> keys_;
};

} // namespace velomire
