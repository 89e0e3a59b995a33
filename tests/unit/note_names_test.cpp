#include "core/keyboard/note_names.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <climits>

namespace velomire {
namespace {

TEST(NoteNames, KnownNumbers) {
    const struct {
        int n;
        const char* name;
    } rows[] = {
        {21, "A0"},
        {22, "A#0"},
        {60, "C4"},
        {61, "C#4"},
        {108, "C8"},
        {127, "G9"},
        {0, "C-1"},
        {11, "B-1"},
        {12, "C0"},
        {23, "B0"},
        {-12, "C-2"},
        {-24, "C-3"},
        {-1, "-2"},
        {-11, "-2"},
        {-13, "-3"},
        {-23, "-3"},
        {128, "G#9"},
        {INT_MAX, "G178956969"},
        {INT_MIN, "-178956972"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(note_num2name(r.n), QString::fromLatin1(r.name)) << "n " << r.n;
}

// Reading a name back must give the number again, and names stay 2..4 characters.
TEST(NoteNames, MidiRangeRoundTrips) {
    const QStringList pitches = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    for (int n = 0; n <= 127; ++n) {
        const QString name = note_num2name(n);
        EXPECT_GE(name.size(), 2) << n;
        EXPECT_LE(name.size(), 4) << n;
        const int pitchLen = (name.size() > 1 && name[1] == QLatin1Char('#')) ? 2 : 1;
        const int pitch = static_cast<int>(pitches.indexOf(name.left(pitchLen)));
        ASSERT_GE(pitch, 0) << name.toStdString();
        bool ok = false;
        const int octave = name.mid(pitchLen).toInt(&ok);
        ASSERT_TRUE(ok) << name.toStdString();
        EXPECT_EQ(12 * (octave + 1) + pitch, n) << name.toStdString();
    }
}

} // namespace
} // namespace velomire
