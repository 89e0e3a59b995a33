#include "core/keyboard/keyboard_geometry.h"

#include "core/keyboard/note_names.h"

#include <cmath>
#include <limits>

namespace velomire {

namespace {

constexpr int kNotesPerGroup = 12;
constexpr int kWhiteKeysPerGroup = 7;
constexpr int kWhiteKeyCount = 52;
constexpr int kNoSlot = -1;

// Groups start on A. For each position in a group: the white key within the group, or the
// boundary within the group a black key is centred on.
constexpr std::array<int, kNotesPerGroup> kWhiteIndex = {
    0, kNoSlot, 1, 2, kNoSlot, 3, kNoSlot, 4, 5, kNoSlot, 6, kNoSlot};
constexpr std::array<int, kNotesPerGroup> kBoundary = {
    kNoSlot, 1, kNoSlot, kNoSlot, 3, kNoSlot, 4, kNoSlot, kNoSlot, 6, kNoSlot, 7};

// Hit test: a white key is three columns; the octave is C-based.
constexpr int kColumnsPerWhiteKey = 3;
constexpr int kColumnCount = kWhiteKeyCount * kColumnsPerWhiteKey;
constexpr int kColumnsPerOctave = 21;
constexpr int kColumnOffsetToC = 15; // column 0 is the first third of A0
constexpr int kWhiteOffsetToC = 5;   // white key 0 is A0
constexpr std::array<int, kWhiteKeysPerGroup> kWhitePitch = {0, 2, 4, 5, 7, 9, 11};
constexpr std::array<int, kColumnsPerOctave> kColumnPitch = {0, 0, 1, 1, 2, 3, 3,  4,  4,  5, 5,
                                                             6, 6, 7, 8, 8, 9, 10, 10, 11, 11};

std::int16_t ToField(double v) {
    const double r = RoundHalfEven(v);
    // Only an absurd picture size gets here; clamp rather than overflow.
    if (!(r > std::numeric_limits<std::int16_t>::min()))
        return std::numeric_limits<std::int16_t>::min();
    if (r > std::numeric_limits<std::int16_t>::max())
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(r);
}

int FloorDiv(int a, int b) {
    int q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

int PositiveMod(int a, int b) {
    const int r = a % b;
    return r < 0 ? r + b : r;
}

} // namespace

KeyboardMetrics KeyboardMetricsFor(int scaleWidth, int scaleHeight) {
    const float w = static_cast<float>(scaleWidth) / static_cast<float>(kWhiteKeyCount);
    const float b = 2.0f * w / 3.0f;
    const double l = static_cast<double>(scaleHeight) * 0.55;
    return {w, b, l};
}

bool IsBlackKey(int note) {
    return kBoundary[static_cast<std::size_t>(PositiveMod(note - kLowestKey, kNotesPerGroup))] !=
           kNoSlot;
}

void BuildKeyTable(KeyTable& keys, NoteTable& notes, const PictureMetrics& picture) {
    const KeyboardMetrics m = KeyboardMetricsFor(picture.scaleWidth, picture.scaleHeight);
    const float w = m.whiteWidth;
    const float bw = m.blackWidth;
    const double len = m.blackLength;

    // Sums of integers, W and B stay in single precision; a decimal factor or L makes the
    // rest of the sum double. Which one is used shows at rounding halves.
    for (int n = kLowestKey; n <= kHighestKey; ++n) {
        const int g = (n - kLowestKey) / kNotesPerGroup;
        const auto p = static_cast<std::size_t>((n - kLowestKey) % kNotesPerGroup);
        const float groupLeft = static_cast<float>(kWhiteKeysPerGroup * g) * w;
        KeyInfo& k = keys[static_cast<std::size_t>(n)];

        if (kBoundary[p] == kNoSlot) {
            const auto j = static_cast<float>(kWhiteIndex[p]);
            k.markx = ToField(1.1 * static_cast<double>(w) + static_cast<double>(j * w) +
                              static_cast<double>(groupLeft));
            k.marky = ToField(picture.height + picture.top + 10);
            k.faceleft = ToField(3.0f + j * w + groupLeft);
            k.facetop = ToField(len + 2.0);
            k.faceright = ToField(-3.0f + (j + 1.0f) * w + groupLeft);
            k.facebottom = ToField(picture.height - 4);
            k.facecolor = kWhiteKeyColorWord;
        } else {
            const auto b = static_cast<float>(kBoundary[p]);
            k.markx = ToField(1.6 * static_cast<double>(w) + static_cast<double>((b - 1.0f) * w) +
                              static_cast<double>(groupLeft));
            k.marky = ToField(picture.top - 10);
            k.faceleft = ToField(1.0f + b * w - bw / 2.0f + groupLeft);
            k.facetop = 0;
            k.faceright = ToField(-1.0f + b * w - bw / 2.0f + groupLeft + bw);
            k.facebottom = ToField(len - 1.0);
            k.facecolor = kBlackKeyColorWord;
        }
        // Black keys lose their octave digit here ("C#").
        k.keyname = note_num2name(n).left(2);
        SetKeyStartupValues(notes[static_cast<std::size_t>(n)], n);
    }
}

int KeyAt(double x, double y, int scaleWidth, int scaleHeight) {
    if (scaleWidth <= 0 || scaleHeight <= 0)
        return 0;
    // Pointer coordinates are taken in single precision, like the zone limits.
    const auto fx = static_cast<float>(x);
    const auto fy = static_cast<float>(y);
    const float z = 2.0f * static_cast<float>(scaleHeight) / 3.0f;
    if (!(fy > 0.0f) || !(fy < static_cast<float>(scaleHeight)))
        return 0;

    const float t = static_cast<float>(scaleWidth) / static_cast<float>(kColumnCount);
    const float q = fx / t;
    // A pointer dragged off either side stays on the end key; clamping the column (not x)
    // also covers a quotient that rounds up to the column count.
    int c = 0;
    if (q >= static_cast<float>(kColumnCount))
        c = kColumnCount - 1;
    else if (q > 0.0f)
        c = static_cast<int>(std::floor(q));

    if (fy > z) {
        const int wkey = c / kColumnsPerWhiteKey;
        const int pitch =
            kWhitePitch[static_cast<std::size_t>((wkey + kWhiteOffsetToC) % kWhiteKeysPerGroup)];
        return kNotesPerGroup * (FloorDiv(wkey + kWhiteOffsetToC, kWhiteKeysPerGroup) + 1) + pitch;
    }
    const int s = (c + kColumnOffsetToC) % kColumnsPerOctave;
    const int pitch = kColumnPitch[static_cast<std::size_t>(s)];
    const int note =
        kNotesPerGroup * (FloorDiv(c + kColumnOffsetToC, kColumnsPerOctave) + 1) + pitch;
    // The outer thirds of the two end keys map past the keyboard, where no black key exists.
    if (note == kHighestKey + 1)
        return kHighestKey;
    if (note == kLowestKey - 1)
        return kLowestKey;
    return note;
}

std::vector<KeyBox> BlackKeyBoxes(int scaleWidth, int scaleHeight) {
    const KeyboardMetrics m = KeyboardMetricsFor(scaleWidth, scaleHeight);
    const float w = m.whiteWidth;
    const float half = m.blackWidth / 2.0f;
    std::vector<KeyBox> boxes;
    boxes.reserve(39);
    auto add = [&](int g, int b) {
        const float centre =
            static_cast<float>(kWhiteKeysPerGroup * g) * w + static_cast<float>(b) * w;
        boxes.push_back({static_cast<double>(centre - half), -1.0,
                         static_cast<double>(centre + half), m.blackLength});
    };
    // Painting order: later boxes overlap earlier outlines the same way on screen.
    for (int g = 0; g <= 7; ++g)
        for (int b : {1, 4, 6, 7})
            add(g, b);
    for (int g = 0; g <= 6; ++g)
        add(g, 3);
    return boxes;
}

} // namespace velomire
