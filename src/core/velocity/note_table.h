#pragma once

#include <array>
#include <cstdint>

namespace velomire {

// First and last key of the 88-key keyboard; every editing command works on this range.
constexpr int kLowestKey = 21;
constexpr int kHighestKey = 108;
// Tables indexed by note number have one entry more than MIDI needs (0..128).
constexpr int kNoteTableSize = 129;
constexpr int kMaxVelocity = 127;

// Truth values in records and files: 0 is false, all bits set is true.
constexpr std::int16_t kTrue = -1;
constexpr std::int16_t kFalse = 0;

// One key's response curve and its transposed output note.
struct NoteSetting {
    std::uint8_t outnote = 0;
    std::int16_t selected = kFalse;
    double exp = 0.0;
    std::uint8_t vcut = 0;
    std::uint8_t vmax = 0;

    friend bool operator==(const NoteSetting&, const NoteSetting&) = default;
};

using NoteTable = std::array<NoteSetting, kNoteTableSize>;

// The response curve: velocity below vcut gives 0, otherwise
// vmax * floor(128 * (velocity/128)^exp) / 127, rounded.
// Values only a damaged file can hold are made safe rather than trusted: an exp that is
// not a finite positive number counts as 1.0 (straight line), vmax above 127 counts as
// 127, and the result is always 0..127.
std::uint8_t MapVelocity(int velocity, double exp, int vcut, int vmax);

inline std::uint8_t MapVelocity(int velocity, const NoteSetting& s) {
    return MapVelocity(velocity, s.exp, s.vcut, s.vmax);
}

// The values a key starts with and returns to on "Reset All".
void SetKeyStartupValues(NoteSetting& s, int note);

// Rounds to the nearest integer, halves to even (how reals are stored into bytes).
double RoundHalfEven(double v);

inline bool IsKey(int note) {
    return note >= kLowestKey && note <= kHighestKey;
}

} // namespace velomire
