#pragma once

#include "core/velocity/note_table.h"

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace velomire {

// Resting colours of the key faces, handed to the painter unchanged. The black-key word has
// a non-zero top byte; the view resolves it the same way wherever it paints it.
constexpr std::uint32_t kWhiteKeyColorWord = 0xFFFFFF;
constexpr std::uint32_t kBlackKeyColorWord = 0xAAAAAAAA;

// One key: its 2-character name, where its mark goes on the main window (window pixels),
// the face rectangle repainted while it sounds (picture pixels) and the face's resting colour.
struct KeyInfo {
    QString keyname;
    std::int16_t markx = 0, marky = 0, faceleft = 0, facetop = 0, faceright = 0, facebottom = 0;
    std::uint32_t facecolor = 0;
};

using KeyTable = std::array<KeyInfo, kNoteTableSize>;

// The keyboard picture: inner size in its own pixels, outer top and height in window pixels.
struct PictureMetrics {
    int scaleWidth;
    int scaleHeight;
    int top;
    int height;
};

// White-key width W, black-key width B and black-key length L. The float/double split is
// deliberate: the stored rectangles depend on it at rounding halves.
struct KeyboardMetrics {
    float whiteWidth;
    float blackWidth;
    double blackLength;
};

KeyboardMetrics KeyboardMetricsFor(int scaleWidth, int scaleHeight);

// True for the pitch classes C#, D#, F#, G#, A#.
bool IsBlackKey(int note);

// Fills records 21..108 and gives NoteSetting entries 21..108 their startup values;
// every other record and entry is left as it is.
void BuildKeyTable(KeyTable& keys, NoteTable& notes, const PictureMetrics& picture);

// The key under (x, y) in picture pixels: 0 (top row, below the keyboard, above it) or a key
// 21..108. Its zones are its own (thirds of white keys, black zone down to 2/3 of the
// height) and differ from the drawn keys on purpose. An x beyond either side counts as the
// end key there, so the result is always safe as a table index.
int KeyAt(double x, double y, int scaleWidth, int scaleHeight);

// A black key as the keyboard draws it: unrounded, from one pixel above the top edge down to
// the black-key length.
struct KeyBox {
    double left, top, right, bottom;
};

// Every black-key box the keyboard drawing paints, in painting order (g = 0..7 with
// boundaries 1, 4, 6, 7, then g = 0..6 with boundary 3). The last three of the first run lie
// beyond the right edge and are clipped away by the painter.
std::vector<KeyBox> BlackKeyBoxes(int scaleWidth, int scaleHeight);

} // namespace velomire
