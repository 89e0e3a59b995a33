#pragma once

#include <QString>

namespace velomire {

// Name of a MIDI note number: sharp pitch name plus octave, 60 -> "C4", 0 -> "C-1".
// A negative number that is not a multiple of 12 has no pitch name, only its octave.
QString note_num2name(int n);

} // namespace velomire
