#pragma once

#include "core/velocity/note_table.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
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

// A key whose level at either pass is below this share of the keyboard's median is set
// aside. Healthy keys that differ by gains of 0.8..1.2 and exponents of 0.8..1.2 still send
// two thirds of the median at a soft touch of 0.35; a key under half would pull every other
// key down to its level, so it is named instead ("check this key").
constexpr double kFarBelowShare = 0.5;
// Differences up to this many output steps are within what the strikes of a key scatter:
// a key is short of the target, or answers touch, only beyond them (or beyond the scatter of
// its own strikes, when that is larger).
constexpr double kNoiseFloorSteps = 2.0;

// The trade-off between evenness and loudness is the share of the counted keys whose curve
// must be able to follow the target exactly. The family (exp, vmax <= 127) can only lower a
// key's top, so at 1 every key is even and the weakest key's top sets everybody's loudness;
// at kKeepLoudnessShare half the keys can follow, which puts the target at about the
// keyboard's own level and leaves the other half short.
constexpr double kEveryKeyEvenShare = 1.0;
constexpr double kKeepLoudnessShare = 0.5;
// The default: nine keys in ten. Most of the keys that cannot follow exactly miss by less
// than their own strikes scatter, so the p95 deviation from the target stays within 3 steps
// at the played touches and 5 at the others on every keyboard of the calibration bench (2.5
// and 3.5 for the worst), close to every key even (2.1 and 3.4); the keyboard keeps about 6
// points more of its firm level and sends about 8 steps louder at full force. From 0.85 down
// the keys short of the target enter the 95th percentile and evenness goes.
constexpr double kDefaultReachShare = 0.9;

// What RobustLevel makes of one key's strikes on one pass.
struct StrikeSummary {
    double level = 0.0;   // mean of the strikes kept
    double scatter = 0.0; // sample standard deviation of the strikes kept; 0 with one
    int kept = 0;
    int setAside = 0; // wild strikes, outside keepLow..keepHigh
    double keepLow = 0.0;
    double keepHigh = kMaxVelocity;
    // Kept strikes at 127: the key may have been louder than the level says.
    int atTop = 0;
};

// A key's level on one pass, robust to a missed or doubled strike: strikes further from the
// median than max(8 steps, 3 x 1.4826 x the median absolute deviation) are set aside and the
// rest averaged. 1.4826 x MAD estimates the per-strike scatter for Gaussian noise, so three
// of them keep 99.7% of honest strikes; the 8-step floor (about three times the scatter of a
// real keyboard) stops a tight cluster (MAD 0 when three strikes agree) from throwing out
// honest neighbours. Once the wild strikes are gone the mean beats the median: with five
// strikes its noise is about 4/5 of the median's. Fewer than three strikes: their mean, as
// nothing can be told apart. No strikes: nothing.
std::optional<StrikeSummary> SummariseStrikes(std::span<const std::uint8_t> strikes);
std::optional<double> RobustLevel(std::span<const std::uint8_t> strikes);

// The raw velocities struck on each key in each pass, and the player's say on each key.
// Notes outside 21..108 are ignored by every call.
class CalibrationRun {
public:
    // Records a strike. False, and nothing recorded, for a note outside the keyboard or a
    // velocity outside 1..127 (a note-on with velocity 0 is a release).
    bool AddStrike(int note, Pass pass, int velocity);
    // Clearing a key also drops its taking back: new strikes are new evidence.
    void ClearKey(int note);
    void ClearKey(int note, Pass pass);
    void ClearAll();
    // A left-out key keeps its strikes, so taking it back needs no replay.
    void SetLeftOut(int note, bool leftOut);
    bool IsLeftOut(int note) const;
    // A key the fit sets aside as far below the keyboard counts all the same when taken
    // back. Keys without a touch response or short of strikes stay aside: no curve can be
    // fitted to them.
    void SetTakenBack(int note, bool takenBack);
    bool IsTakenBack(int note) const;

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
        bool takenBack = false;
    };
    std::array<Key, kKeyCount> keys_;
};

// Which response every key is brought to: a velocity per pass, which with the touch of each
// pass defines a power law.
enum class CalibrationTarget : std::uint8_t {
    // The keyboard's median levels, scaled to the loudest level that the share of the keys
    // in CalibrationOptions::reachShare can follow exactly (see kDefaultReachShare).
    Keyboard,
    // The levels of one key the player likes.
    ReferenceKey,
};

struct CalibrationOptions {
    CalibrationTarget target = CalibrationTarget::Keyboard;
    // With Keyboard: kKeepLoudnessShare..kEveryKeyEvenShare; values outside are clamped.
    double reachShare = kDefaultReachShare;
    int referenceKey = 60; // with ReferenceKey
};

enum class KeyStatus : std::uint8_t {
    NotPlayed, // no strikes, or left out: not mentioned, curve kept
    SetAside,  // named with its reason; curve kept, counts nowhere
    Fitted,    // counts in the target and the figures; gets the proposed curve
};

enum class SetAsideReason : std::uint8_t {
    None,
    TooFewStrikes, // played, but fewer than kMinStrikesPerPass strikes on a pass
    // Firm level not above soft by more than kNoiseFloorSteps, or a rise from soft to firm
    // (in logs) under a kMaxFitExp-th of the keyboard's: no curve of the family can follow.
    NoTouchResponse,
    FarBelow, // level at a pass under kFarBelowShare of the keyboard's median
};

// One key's proposal. "Sent" levels are what the key sends at its level on a pass through a
// curve, via PredictOutput (so with the family's rounding and the key's cut-off).
struct KeyCalibration {
    KeyStatus status = KeyStatus::NotPlayed;
    SetAsideReason reason = SetAsideReason::None;
    // Set aside as FarBelow but counted because the run took it back.
    bool takenBack = false;
    std::array<int, kPassCount> strikes{};
    std::array<StrikeSummary, kPassCount> summary{}; // zeros for a pass without strikes
    std::array<double, kPassCount> level{};          // summary[p].level: raw, before any curve
    // The lower of level / keyboard's median level over the passes (0.2 for a key that sends
    // a fifth of the others); 0 when there was no keyboard to compare with.
    double shareOfKeyboard = 0.0;

    double exp = 1.0; // proposed; the current values unless Fitted
    int vmax = kMaxVelocity;
    bool vmaxLimited = false; // the target needed vmax above 127 (or below 1)
    bool expLimited = false;  // the target needed an exponent outside kMinFitExp..kMaxFitExp

    // Fitted keys only, zeros otherwise:
    std::array<double, kPassCount> sentBefore{}; // through the current curve
    std::array<double, kPassCount> sentAfter{};  // through the proposed curve
    std::array<double, kPassCount> before{};     // sentBefore - keyboard's level before
    std::array<double, kPassCount> after{};      // sentAfter - target
    // How far |after| may go before the key counts as short: its strikes' scatter in output
    // steps, at least kNoiseFloorSteps.
    std::array<double, kPassCount> noise{};

    // Fitted and off the target by more than its noise at a pass.
    bool Short() const;
    // The larger |after| over the passes: how far a short key misses.
    double Miss() const;
};

enum class CalibrationError : std::uint8_t {
    None,
    NoKeys,             // no key counts
    ReferenceNotPlayed, // the reference key has no strikes, too few, or is left out
    ReferenceSetAside,  // the reference key is set aside (and not taken back)
};

struct CalibrationResult {
    CalibrationError error = CalibrationError::None;
    // The velocity every key should send at each pass.
    std::array<double, kPassCount> target{};
    std::array<KeyCalibration, kKeyCount> keys{}; // keys[note - kLowestKey]
    int counted = 0; // Fitted keys; every figure below is over them alone

    // The keyboard's level at each pass: the median of the sent levels, before (current
    // curves) and after (proposed curves).
    std::array<double, kPassCount> levelBefore{};
    std::array<double, kPassCount> levelAfter{};
    // The loudest velocity the keyboard can send: the median over the keys of what each
    // sends at raw 127 (full force) through its curve, before and after.
    double topBefore = 0.0;
    double topAfter = 0.0;
    // Spread across the keys, in steps: 95th percentile over keys and both passes of
    // |sent - keyboard's level| at that pass. Before is measured from the strikes (nearest
    // rank). After is a prediction of the same figure when the same touches are played
    // again: each key's sent level is uncertain by its strikes' leave-one-out (jackknife)
    // error times the curve's slope, plus rounding, and the figure is the 95th percentile of
    // that spread of outcomes, not of the strikes the curves were fitted to.
    double spreadBefore = 0.0;
    double spreadAfter = 0.0;

    const KeyCalibration& Key(int note) const {
        return keys[static_cast<std::size_t>(note - kLowestKey)];
    }
    // Fitted keys that fall short of the target (KeyCalibration::Short), lowest note first.
    std::vector<int> ShortKeys() const;
    // Keys set aside, lowest note first.
    std::vector<int> SetAsideKeys() const;
    // Fitted keys with a strike at 127 on a pass: their level there is only a lower bound,
    // and a curve fitted to it sends too much between the passes. Worth telling the player
    // to play that pass a little softer.
    std::vector<int> ClippedKeys() const;
};

// Fits every key that counts. The keys are first sorted: those short of strikes, without a
// touch response or far below the keyboard are set aside (see SetAsideReason). The target is
// a power law through the two passes; with key k answering touch t as a_k t^g_k, the curve
// that brings it onto the target is again a power law, and the family's
// vmax (128/127) (r/128)^exp is one, so the two passes fix exp and vmax. Where a limit bites:
// vmax is held at 127 and exp minimises the squared log error over both passes; an exponent
// out of range is held at the limit and vmax minimises that error. The result is then rounded
// to the integer vmax and nearby exp whose actual outputs come closest over the played range.
// On error nothing is fitted and every key keeps its curve; the keys are still sorted.
CalibrationResult FitCalibration(const CalibrationRun& run, const NoteTable& current,
                                 const CalibrationOptions& options = {});

// Why a key is set aside, for the player ("sends about 20 % of the others: check this key").
// Empty for a key that is not.
std::string SetAsideText(const KeyCalibration& key);

// The table with exp and vmax of every fitted key replaced; nothing else changes.
NoteTable ApplyCalibration(NoteTable notes, const CalibrationResult& result);

// What a curve sends for a raw velocity that may fall between two integers (levels are
// averages): MapVelocity at both neighbours, interpolated.
double PredictOutput(double raw, const NoteSetting& s);

} // namespace velomire
