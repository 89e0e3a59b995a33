#pragma once

#include "velocity/note_table.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velomire {

// Evening out the keyboard from what the player plays: each key is struck a few times softly
// and a few times firmly, and each key gets the curve (exp and vmax; vcut is never touched)
// that makes it answer both passes the way the target does.

enum class Pass : std::uint8_t { Soft = 0, Firm = 1 };
constexpr int kPassCount = 2;
constexpr int kKeyCount = kHighestKey - kLowestKey + 1;
// With two strikes a bad one cannot be told from a good one; three leave a majority.
constexpr int kMinStrikesPerPass = 3;

// The exponents a fit may propose. Outside them the curve is nearly a switch or nearly flat
// over the played range and sends only a handful of distinct values: a key that would need
// one is broken rather than uneven.
constexpr double kMinFitExp = 0.25;
constexpr double kMaxFitExp = 4.0;

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

// Which response every key is brought to: a velocity per pass, which with the touch of each
// pass defines a power law. Only keys that take part and answer touch count.
enum class CalibrationTarget : std::uint8_t {
    // The keyboard's median levels scaled up or down by the largest factor for which every
    // key needs vmax <= 127 and the firm target stays <= 127: every key can be made even, but
    // the weakest key's top sets the loudness. Keys whose exponent would be out of range do
    // not count, as they stay uneven whatever the level.
    Strongest,
    // The keyboard's median level at each pass: more range, but keys weaker than the median
    // at the top fall short and are marked.
    KeyboardMedian,
    // The levels of one key the player likes.
    ReferenceKey,
};

struct CalibrationOptions {
    CalibrationTarget target = CalibrationTarget::Strongest;
    int referenceKey = 60; // with ReferenceKey
};

enum class KeyOutcome : std::uint8_t {
    NotPlayed,       // left out or short of strikes: curve kept
    NoTouchResponse, // soft level not below firm: no curve can follow touch, so it is kept
    Fitted,
};

// One key's proposal. Deviations are predicted output minus target, in velocity steps, at the
// key's levels, through MapVelocity (so with the family's rounding and the key's
// cut-off); "before" uses the key's current setting. Zero for keys that did not take part.
struct KeyCalibration {
    KeyOutcome outcome = KeyOutcome::NotPlayed;
    std::array<double, kPassCount> level{}; // RobustLevel per pass; 0 when it has no strikes
    double exp = 1.0;                       // proposed; the current values unless Fitted
    int vmax = kMaxVelocity;
    bool vmaxLimited = false; // the target needed vmax above 127 (or below 1)
    bool expLimited = false;  // the target needed an exponent outside kMinFitExp..kMaxFitExp
    std::array<double, kPassCount> before{};
    std::array<double, kPassCount> after{};

    bool Reached() const { return outcome == KeyOutcome::Fitted && !vmaxLimited && !expLimited; }
};

enum class CalibrationError : std::uint8_t {
    None,
    NoKeys,             // no key takes part with a touch response
    ReferenceNotPlayed, // the reference key does not take part, or has no touch response
};

struct CalibrationResult {
    CalibrationError error = CalibrationError::None;
    // The velocity every key should send at each pass.
    std::array<double, kPassCount> target{};
    std::array<KeyCalibration, kKeyCount> keys{}; // keys[note - kLowestKey]
    // 95th percentile (nearest rank) of |deviation| over both passes of every key that took
    // part, in velocity steps.
    double spreadBefore = 0.0;
    double spreadAfter = 0.0;

    const KeyCalibration& Key(int note) const {
        return keys[static_cast<std::size_t>(note - kLowestKey)];
    }
    // Fitted keys that a limit of the curve family kept from their target.
    std::vector<int> UnreachedKeys() const;
};

// Fits every key that takes part. The target is a power law through the two passes; with key
// k answering touch t as a_k t^g_k, the curve that brings it onto the target is again a power
// law, and the family's vmax (128/127) (r/128)^exp is one, so the two passes fix exp and vmax.
// Where a limit bites: vmax is held at 127 and exp minimises the squared log error over both
// passes; an exponent out of range is held at the limit and vmax minimises that error. The
// result is then rounded to the integer vmax and nearby exp whose actual outputs come
// closest over the played range. On error nothing is fitted and every key keeps its curve.
CalibrationResult FitCalibration(const CalibrationRun& run, const NoteTable& current,
                                 const CalibrationOptions& options = {});

// The table with exp and vmax of every fitted key replaced; nothing else changes.
NoteTable ApplyCalibration(NoteTable notes, const CalibrationResult& result);

// What a curve sends for a raw velocity that may fall between two integers (levels are
// averages): MapVelocity at both neighbours, interpolated.
double PredictOutput(double raw, const NoteSetting& s);

} // namespace velomire
