#pragma once

#include "core/listening/loudness_table.h"
#include "core/velocity/note_table.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

namespace velomire {

// Evening out the sound from what was heard: a measuring run played every key at a few
// velocities straight to the synth and measured its loudness. Each key gets a correction of
// the curve family, applied after the key's own (calibrated) curve, that brings its loudness
// at those velocities onto the keyboard's loudness curve. Two curves of the family compose
// into one, so the file still holds one curve per key.

// A key whose loudness at the top is further than this below the keyboard's median is set
// aside: lowering every other key to it would cost the whole instrument that much.
constexpr double kVoicingFarBelowLu = 20.0;
// A key whose loudness rises less than this from the softest velocity measured to the
// loudest does not answer velocity; no curve can shape it.
constexpr double kMinVelocityResponseLu = 1.0;
// Within this a key counts as on target: a measurement repeats to about a tenth of it.
constexpr double kVoicingToleranceLu = 0.5;
// The trade-off, as in calibration: the share of the keys that must reach the target at the
// loudest velocity (0.5 keeps the median key's loudness, 1 evens every key out).
constexpr double kVoicingKeepLoudnessShare = 0.5;
constexpr double kVoicingEveryKeyEvenShare = 1.0;
constexpr double kDefaultVoicingShare = 0.9;

struct VoicingOptions {
    double reachShare = kDefaultVoicingShare; // clamped to the two ends
    // Keys set aside as far below that count all the same.
    std::bitset<128> takenBack;
};

enum class VoicingStatus : std::uint8_t { NotMeasured, SetAside, Fitted };
enum class VoicingSetAside : std::uint8_t {
    None,
    Silent,      // gave no sound at some velocity
    NoResponse,  // louder velocities are not louder
    FarBelow,    // kVoicingFarBelowLu under the others at the top
    NotPlayable, // its curve sends nothing (maximum 0)
};

struct KeyVoicing {
    VoicingStatus status = VoicingStatus::NotMeasured;
    VoicingSetAside reason = VoicingSetAside::None;
    bool takenBack = false;
    double belowTopLu = 0.0; // how far its top is under the keyboard's (for FarBelow)
    // Per voiced velocity, in LU; Fitted keys only.
    std::vector<double> before; // measured - keyboard's level
    std::vector<double> after;  // predicted with the correction - target
    // The correction (a curve of the family, no cut-off) and the key's curve composed with it,
    // which is what Apply writes.
    double correctionExp = 1.0;
    int correctionVmax = kMaxVelocity;
    double exp = 1.0;
    int vmax = kMaxVelocity;

    // Fitted and under the target by more than the tolerance somewhere.
    bool Short() const;
    // How far under the target, in LU (positive), at its worst velocity.
    double Shortfall() const;
};

struct VoicingResult {
    bool ok = false; // false: no key could be fitted, nothing changes
    std::vector<int> velocities;
    std::vector<double> levelBefore; // the keyboard's loudness (median over counted keys)
    std::vector<double> target;      // what every key is brought to
    std::vector<double> levelAfter;  // median of the predicted loudness
    std::array<KeyVoicing, 128> keys{};
    int counted = 0;
    // p95 over the counted keys of |loudness - median of the keys| at each voiced velocity,
    // pooled, in LU; "between" at the velocities halfway between the voiced ones (predicted
    // from the measured points for both).
    double spreadBefore = 0.0;
    double spreadAfter = 0.0;
    double spreadBetweenBefore = 0.0;
    double spreadBetweenAfter = 0.0;

    std::vector<int> ShortKeys() const;
    std::vector<int> SetAsideKeys() const;
};

VoicingResult FitVoicing(const LoudnessTable& heard, const NoteTable& current,
                         const VoicingOptions& options = {});

// Why a key is set aside, for the player; empty for a key that is not.
std::string VoicingSetAsideText(const KeyVoicing& key);

// The key's curve followed by a correction, as one curve of the family (cut-off kept).
NoteSetting ComposeCurves(const NoteSetting& first, double exp, int vmax);

// The table with each fitted key's curve followed by its correction; nothing else changes.
NoteTable ApplyVoicing(NoteTable notes, const VoicingResult& result);

// A key's loudness between and beyond the measured velocities: straight lines in
// log(velocity), the end segments carried on. Nothing unless every voiced velocity sounded.
class LoudnessCurve {
public:
    LoudnessCurve(const LoudnessTable& heard, int key);
    bool Valid() const { return valid_; }
    double At(double velocity) const;

private:
    std::vector<double> x_; // ln velocity
    std::vector<double> y_; // LUFS
    bool valid_ = false;
};

} // namespace velomire
