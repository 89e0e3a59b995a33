#include "core/keyboard/keyboard_geometry.h"

#include "core/keyboard/note_names.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

namespace velomire {
namespace {

constexpr PictureMetrics kSmall{520, 100, 200, 104}; // W = 10
constexpr PictureMetrics kReal{701, 69, 268, 73};

struct Built {
    KeyTable keys{};
    NoteTable notes{};
};

Built Build(const PictureMetrics& pic) {
    Built b;
    BuildKeyTable(b.keys, b.notes, pic);
    return b;
}

const KeyInfo& At(const Built& b, int n) {
    return b.keys[static_cast<std::size_t>(n)];
}

TEST(KeyTable, WorkedKeysOnSmallPicture) {
    const struct {
        int n;
        const char* name;
        int markx, marky, left, top, right, bottom;
        std::uint32_t color;
    } rows[] = {
        {21, "A0", 11, 314, 3, 57, 7, 100, kWhiteKeyColorWord},
        {22, "A#", 16, 190, 8, 0, 12, 54, kBlackKeyColorWord},
        {24, "C1", 31, 314, 23, 57, 27, 100, kWhiteKeyColorWord},
        {60, "C4", 241, 314, 233, 57, 237, 100, kWhiteKeyColorWord},
        {61, "C#", 246, 190, 238, 0, 242, 54, kBlackKeyColorWord},
        {108, "C8", 521, 314, 513, 57, 517, 100, kWhiteKeyColorWord},
    };
    const Built b = Build(kSmall);
    for (const auto& r : rows) {
        const KeyInfo& k = At(b, r.n);
        SCOPED_TRACE(r.n);
        EXPECT_EQ(k.keyname, QString::fromLatin1(r.name));
        EXPECT_EQ(k.markx, r.markx);
        EXPECT_EQ(k.marky, r.marky);
        EXPECT_EQ(k.faceleft, r.left);
        EXPECT_EQ(k.facetop, r.top);
        EXPECT_EQ(k.faceright, r.right);
        EXPECT_EQ(k.facebottom, r.bottom);
        EXPECT_EQ(k.facecolor, r.color);
    }
}

// W = 10.5 puts several white-face edges exactly on a half.
TEST(KeyTable, HalvesRoundToEven) {
    const Built b = Build({546, 100, 0, 104});
    const struct {
        int n, left, right;
    } rows[] = {{23, 14, 18}, {26, 34, 39}, {29, 56, 60}, {33, 76, 81}};
    for (const auto& r : rows) {
        EXPECT_EQ(At(b, r.n).faceleft, r.left) << r.n;
        EXPECT_EQ(At(b, r.n).faceright, r.right) << r.n;
    }
}

TEST(KeyTable, OnlyTheKeyboardRangeIsWritten) {
    KeyTable keys{};
    NoteTable notes{};
    NoteSetting marker;
    marker.outnote = 7;
    marker.selected = kTrue;
    marker.exp = 2.5;
    marker.vcut = 3;
    marker.vmax = 9;
    notes.fill(marker);
    BuildKeyTable(keys, notes, kSmall);

    const KeyInfo empty;
    for (int n = 0; n < kNoteTableSize; ++n) {
        const KeyInfo& k = keys[static_cast<std::size_t>(n)];
        const NoteSetting& s = notes[static_cast<std::size_t>(n)];
        SCOPED_TRACE(n);
        if (IsKey(n)) {
            NoteSetting startup;
            SetKeyStartupValues(startup, n);
            EXPECT_EQ(s, startup);
            EXPECT_EQ(k.keyname.size(), 2);
        } else {
            EXPECT_EQ(s, marker);
            EXPECT_TRUE(k.keyname.isEmpty());
            EXPECT_EQ(k.markx, empty.markx);
            EXPECT_EQ(k.marky, empty.marky);
            EXPECT_EQ(k.faceleft, empty.faceleft);
            EXPECT_EQ(k.facetop, empty.facetop);
            EXPECT_EQ(k.faceright, empty.faceright);
            EXPECT_EQ(k.facebottom, empty.facebottom);
            EXPECT_EQ(k.facecolor, 0u);
        }
    }
}

TEST(HitTest, PointsOnSmallPicture) {
    const struct {
        double x, y;
        int note;
    } rows[] = {
        {0, 50, 21},
        {9, 50, 22},
        {5, 90, 21},
        {26, 50, 24},
        {30, 50, 25},
        {519, 50, 108},
        {519, 90, 108},
        {5, 67, 21},
        {5, 66, 21},
        {9, 66, 22},
        {9, 67, 21},
        {4, 50, 21},
        {515, 50, 108},
        {505, 50, 107},
        {499, 50, 106},
        {0, 99.5, 21},
        // no key on the top row, above or below the keyboard
        {0, 0, 0},
        {9, 0, 0},
        {260, 0, 0},
        {519, 0, 0},
        {0, 100, 0},
        {260, 100, 0},
        {519, 100, 0},
        {260, -3, 0},
        {260, 140, 0},
        // dragged off either side: the end key, never an index outside the tables
        {-1, 50, 21},
        {-500, 90, 21},
        {520, 50, 108},
        {520, 90, 108},
        {5000, 50, 108},
        {-1, 0, 0},
        {600, 100, 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(KeyAt(r.x, r.y, kSmall.scaleWidth, kSmall.scaleHeight), r.note)
            << "(" << r.x << ", " << r.y << ")";
}

struct Picture {
    const char* label;
    PictureMetrics pic;
};

class KeyboardSweep : public ::testing::TestWithParam<Picture> {};

// White index i of each key counted along the keyboard; a black key stands on the
// boundary before the next white key.
struct Slot {
    bool black;
    int index;
};

std::array<Slot, kNoteTableSize> CountSlots() {
    std::array<Slot, kNoteTableSize> slots{};
    int white = 0;
    for (int n = kLowestKey; n <= kHighestKey; ++n) {
        const int pc = n % 12;
        const bool black = pc == 1 || pc == 3 || pc == 6 || pc == 8 || pc == 10;
        slots[static_cast<std::size_t>(n)] = {black, white};
        if (!black)
            ++white;
    }
    return slots;
}

TEST_P(KeyboardSweep, FacesMarksAndNames) {
    const PictureMetrics& pic = GetParam().pic;
    const Built b = Build(pic);
    const auto slots = CountSlots();
    const double w = pic.scaleWidth / 52.0;
    const double half = w / 3.0;
    const double len = 0.55 * pic.scaleHeight;
    constexpr double kRound = 0.5 + 1e-4;

    int whites = 0, blacks = 0, prevWhiteRight = -1000, prevMark[2] = {-1000, -1000};
    for (int n = kLowestKey; n <= kHighestKey; ++n) {
        const KeyInfo& k = At(b, n);
        const Slot s = slots[static_cast<std::size_t>(n)];
        SCOPED_TRACE(n);
        EXPECT_EQ(IsBlackKey(n), s.black);
        EXPECT_EQ(k.keyname, note_num2name(n).left(2));
        EXPECT_EQ(k.facecolor, s.black ? kBlackKeyColorWord : kWhiteKeyColorWord);

        // Non-empty and inside the picture.
        EXPECT_LT(k.faceleft, k.faceright);
        EXPECT_LT(k.facetop, k.facebottom);
        EXPECT_GE(k.faceleft, 0);
        EXPECT_GE(k.facetop, 0);
        EXPECT_LE(k.faceright, pic.scaleWidth);
        EXPECT_LE(k.facebottom, pic.scaleHeight);

        // Marks move right along each row and sit 0.6 W right of the key's centre.
        const double centre = s.black ? s.index * w : (s.index + 0.5) * w;
        EXPECT_NEAR(k.markx, centre + 0.6 * w, kRound);
        EXPECT_GT(k.markx, prevMark[s.black]);
        prevMark[s.black] = k.markx;

        if (s.black) {
            ++blacks;
            EXPECT_EQ(k.marky, pic.top - 10);
            EXPECT_NEAR(k.faceleft, centre - half + 1, kRound);
            EXPECT_NEAR(k.faceright, centre + half - 1, kRound);
            EXPECT_EQ(k.facetop, 0);
            EXPECT_NEAR(k.facebottom, len - 1, kRound);
        } else {
            ++whites;
            EXPECT_EQ(k.marky, pic.top + pic.height + 10);
            EXPECT_NEAR(k.faceleft, s.index * w + 3, kRound);
            EXPECT_NEAR(k.faceright, (s.index + 1) * w - 3, kRound);
            EXPECT_NEAR(k.facetop, len + 2, kRound);
            EXPECT_EQ(k.facebottom, pic.height - 4);
            // White faces never overlap, and stay below every black face.
            EXPECT_GT(k.faceleft, prevWhiteRight);
            prevWhiteRight = k.faceright;
            EXPECT_GT(k.facetop, At(b, 22).facebottom);
        }
    }
    EXPECT_EQ(whites, 52);
    EXPECT_EQ(blacks, 36);
}

TEST_P(KeyboardSweep, BlackFacesLieInTheirDrawnBoxes) {
    const PictureMetrics& pic = GetParam().pic;
    const Built b = Build(pic);
    const std::vector<KeyBox> boxes = BlackKeyBoxes(pic.scaleWidth, pic.scaleHeight);
    ASSERT_EQ(boxes.size(), 39u);

    std::vector<KeyBox> visible;
    for (const KeyBox& box : boxes) {
        EXPECT_EQ(box.top, -1.0);
        EXPECT_NEAR(box.bottom, 0.55 * pic.scaleHeight, 1e-9);
        EXPECT_NEAR(box.right - box.left, 2.0 * pic.scaleWidth / 156.0, 1e-3);
        if (box.left < pic.scaleWidth)
            visible.push_back(box);
    }
    ASSERT_EQ(visible.size(), 36u);

    std::set<std::size_t> used;
    for (int n = kLowestKey; n <= kHighestKey; ++n) {
        if (!IsBlackKey(n))
            continue;
        const KeyInfo& k = At(b, n);
        std::size_t found = visible.size();
        for (std::size_t i = 0; i < visible.size(); ++i)
            if (visible[i].left <= k.faceleft && k.faceright <= visible[i].right)
                found = i;
        ASSERT_LT(found, visible.size()) << "no drawn box holds the face of " << n;
        EXPECT_TRUE(used.insert(found).second) << n;
        EXPECT_GE(k.facetop, visible[found].top);
        EXPECT_LE(k.facebottom, visible[found].bottom);
    }
}

TEST_P(KeyboardSweep, HitTestFindsEveryKeyAtItsFace) {
    const PictureMetrics& pic = GetParam().pic;
    const Built b = Build(pic);
    const double zone = 2.0 * pic.scaleHeight / 3.0;
    const double lowerY = (zone + pic.scaleHeight) / 2.0;
    for (int n = kLowestKey; n <= kHighestKey; ++n) {
        const KeyInfo& k = At(b, n);
        const double x = (k.faceleft + k.faceright) / 2.0;
        SCOPED_TRACE(n);
        if (IsBlackKey(n)) {
            EXPECT_EQ(KeyAt(x, (k.facetop + k.facebottom) / 2.0, pic.scaleWidth, pic.scaleHeight),
                      n);
        } else {
            EXPECT_EQ(KeyAt(x, lowerY, pic.scaleWidth, pic.scaleHeight), n);
            // The middle third of a white key is that key in the upper zone too.
            EXPECT_EQ(KeyAt(x, 1.0, pic.scaleWidth, pic.scaleHeight), n);
        }
    }
}

// Across the width both zones rise step by step; the lower zone gives every white key
// exactly three columns, the upper zone every one of the 88 keys.
TEST_P(KeyboardSweep, HitTestColumnsCoverTheKeyboardInOrder) {
    const PictureMetrics& pic = GetParam().pic;
    const double t = pic.scaleWidth / 156.0;
    const double upperY = pic.scaleHeight / 3.0;
    const double lowerY = pic.scaleHeight - 1.0;
    std::map<int, int> whiteColumns;
    std::set<int> upperKeys;
    int prevUpper = 0, prevLower = 0;
    for (int c = 0; c < 156; ++c) {
        const double x = (c + 0.5) * t;
        const int upper = KeyAt(x, upperY, pic.scaleWidth, pic.scaleHeight);
        const int lower = KeyAt(x, lowerY, pic.scaleWidth, pic.scaleHeight);
        SCOPED_TRACE(c);
        ASSERT_TRUE(IsKey(upper));
        ASSERT_TRUE(IsKey(lower));
        EXPECT_FALSE(IsBlackKey(lower));
        EXPECT_GE(upper, prevUpper);
        EXPECT_GE(lower, prevLower);
        prevUpper = upper;
        prevLower = lower;
        ++whiteColumns[lower];
        upperKeys.insert(upper);
    }
    EXPECT_EQ(whiteColumns.size(), 52u);
    for (const auto& [note, columns] : whiteColumns)
        EXPECT_EQ(columns, 3) << note;
    EXPECT_EQ(upperKeys.size(), 88u);
}

INSTANTIATE_TEST_SUITE_P(Pictures, KeyboardSweep,
                         ::testing::Values(Picture{"Small", kSmall}, Picture{"Real", kReal}),
                         [](const ::testing::TestParamInfo<Picture>& p) {
                             return std::string(p.param.label);
                         });

} // namespace
} // namespace velomire
