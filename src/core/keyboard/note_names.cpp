#include "core/keyboard/note_names.h"

#include <array>
#include <cstdint>

namespace velomire {

namespace {

constexpr std::array<const char*, 12> kPitchNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                     "F#", "G",  "G#", "A",  "A#", "B"};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

} // namespace

QString note_num2name(int n) {
    // The remainder keeps the sign of n, so negative notes other than multiples of 12 fall
    // outside the name list and get no pitch name.
    const int r = n % 12;
    QString name;
    if (r >= 0)
        name = QString::fromLatin1(kPitchNames[static_cast<std::size_t>(r)]);
    // 64-bit so that n - 12 cannot overflow for the most negative int.
    const std::int64_t octave = FloorDiv(static_cast<std::int64_t>(n) - 12, 12);
    name += QString::number(octave);
    return name;
}

} // namespace velomire
