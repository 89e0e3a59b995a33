// The on-screen keyboard: pointing, clicking and keys that choose the active note, the
// marks that show it, the bars that show sounding keys, and "Notes OFF".

#include "core/keyboard/note_names.h"
#include "gui_fixture.h"
#include "support/test_helpers.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>

namespace velomire::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kBorder = PictureBox::kBorder;
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kMagenta(255, 0, 255);
const QColor kWhite(255, 255, 255);

class KeyboardTest : public FormTest {
protected:
    KeyboardView* piano() { return ui().keyboardView; }
    const KeyInfo& Key(int n) { return ui().keyboardView->Keys()[static_cast<std::size_t>(n)]; }

    // Real mouse events at a point in the keyboard's drawing coordinates.
    void Mouse(QEvent::Type type, double x, double y, Qt::MouseButton button = Qt::LeftButton) {
        const QPointF local(x + kBorder, y + kBorder);
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease || type == QEvent::MouseMove
                ? Qt::MouseButtons{}
                : Qt::MouseButtons{button};
        QMouseEvent e(type, local, piano()->mapToGlobal(local),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
        QCoreApplication::sendEvent(piano(), &e);
    }
    void Move(double x, double y) { Mouse(QEvent::MouseMove, x, y); }
    void ClickAt(double x, double y) {
        Move(x, y);
        Mouse(QEvent::MouseButtonPress, x, y);
        Mouse(QEvent::MouseButtonRelease, x, y);
    }
    // What the platform delivers for a double click: press, release, double click, release.
    void DoubleClickAt(double x, double y) {
        ClickAt(x, y);
        Mouse(QEvent::MouseButtonDblClick, x, y);
        Mouse(QEvent::MouseButtonRelease, x, y);
    }
    void Press(int qtKey) {
        QWidget* target = form->focusWidget();
        ASSERT_EQ(target, piano());
        QKeyEvent down(QEvent::KeyPress, qtKey, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &down);
        QKeyEvent up(QEvent::KeyRelease, qtKey, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &up);
    }

    // The mark drawn for a key on the window's surface (transparent: none).
    QColor MarkOf(int n) {
        return ui().keyboardView->Marks().pixelColor(Key(n).markx, Key(n).marky);
    }
    int MarksOfColour(const QColor& c) {
        int count = 0;
        for (int n = 21; n <= 108; ++n)
            count += MarkOf(n) == c;
        return count;
    }

    QColor Pixel(int x, int y) { return piano()->image().pixelColor(x, y); }
    int MidX(int n) { return (Key(n).faceleft + Key(n).faceright) / 2; }
    // Last row of a face that lies inside the picture (white faces end on its edge).
    int LastRow(int n) { return std::min<int>(Key(n).facebottom, piano()->ScaleHeight() - 1); }
};

// ---- Pointing ----

struct HoverRow {
    const char* what;
    double x, y;
    const char* number;
    const char* name;
};

TEST_F(KeyboardTest, PointingShowsTheKeyUnderThePointer) {
    Start();
    // The picture is 701 x 69: white key 13.48 wide, hit columns 4.49 wide, black zone to 46.
    const HoverRow rows[] = {
        {"lowest key, middle third", 6, 60, "21", "A0"},
        {"lowest key, left third in the black zone", 1, 20, "21", "A0"},
        {"lowest key, middle third in the black zone", 6, 20, "21", "A0"},
        {"A#0 over the right third of A0", 10, 20, "22", "A#0"},
        {"black zone reaches below the drawn black keys", 10, 45, "22", "A#0"},
        {"white zone starts below two thirds", 10, 47, "21", "A0"},
        {"middle C", 316.8, 60, "60", "C4"},
        {"C#4", 325, 20, "61", "C#4"},
        {"top key, right third", 700, 60, "108", "C8"},
        {"top key, right third in the black zone", 700, 20, "108", "C8"},
        {"top pixel row", 300, 0, "0", "C-1"},
        {"one below the last row", 300, 69, "0", "C-1"},
    };
    for (const HoverRow& r : rows) {
        SCOPED_TRACE(r.what);
        Move(r.x, r.y);
        EXPECT_EQ(ui().hoverNoteNumber->text(), r.number);
        EXPECT_EQ(ui().hoverNoteName->text(), r.name);
        // Pointing chooses nothing.
        EXPECT_EQ(form->activenote(), 60);
    }
}

// ---- Clicking and marks ----

TEST_F(KeyboardTest, StartupShowsOneRedMarkUnderC4) {
    Start();
    EXPECT_EQ(MarkOf(60), kRed);
    EXPECT_EQ(MarksOfColour(kRed), 1);
    EXPECT_EQ(MarksOfColour(kBlue) + MarksOfColour(kMagenta), 0);
    // White-key marks sit below the keyboard, black-key marks above it.
    EXPECT_GT(Key(60).marky, piano()->geometry().bottom());
    EXPECT_LT(Key(61).marky, piano()->geometry().top());
}

TEST_F(KeyboardTest, ClickMakesTheKeyActive) {
    Start();
    Seed([](SessionState& st) {
        st.notes[61].vcut = 17;
        st.notes[61].vmax = 99;
    });
    ClickAt(325, 20); // C#4
    EXPECT_EQ(form->activenote(), 61);
    EXPECT_EQ(ui().activeNoteName->text(), "C#4"); // every key with its octave
    EXPECT_EQ(MarkOf(61), kRed);
    EXPECT_EQ(MarkOf(60).alpha(), 0);
    EXPECT_EQ(MarksOfColour(kRed), 1);
    EXPECT_EQ(ui().cutOffBar->value(), 17);
    EXPECT_EQ(MainWindow::VmaxAt(ui().maximumBar->value()), 99);
    EXPECT_EQ(ui().cutOffValue->text(), "17");
    EXPECT_EQ(ui().maximumValue->text(), "99");
    // The entry's values were shown, not overwritten by the scroll bars.
    EXPECT_EQ(form->notes()[61].vcut, 17);
    EXPECT_EQ(form->notes()[61].vmax, 99);

    // Moving away without clicking keeps it; a press that ends off the keyboard is no click.
    Move(6, 60);
    Mouse(QEvent::MouseButtonPress, 6, 60);
    Mouse(QEvent::MouseButtonRelease, 6, 200);
    EXPECT_EQ(form->activenote(), 61);
}

TEST_F(KeyboardTest, ClickOnTheActiveKeyDoesNothing) {
    Start();
    Seed([](SessionState& st) { st.notes[60].selected = kTrue; });
    ASSERT_EQ(MarkOf(60), kMagenta);
    ClickAt(316.8, 60);
    EXPECT_EQ(form->activenote(), 60);
    EXPECT_EQ(form->notes()[60].selected, kTrue);
    EXPECT_EQ(MarkOf(60), kMagenta);
    EXPECT_EQ(ui().activeNoteName->text(), "C4");
    EXPECT_EQ(form->session().UndoDepth(), 0); // no step to undo
}

TEST_F(KeyboardTest, DoubleClickTogglesTheSelection) {
    Start();
    const double d4x = 330.3; // D4, white zone
    DoubleClickAt(d4x, 60);
    EXPECT_EQ(form->activenote(), 62);
    EXPECT_EQ(form->notes()[62].selected, kTrue);
    EXPECT_EQ(MarkOf(62), kMagenta);
    EXPECT_EQ(MarkOf(60).alpha(), 0);

    DoubleClickAt(d4x, 60);
    EXPECT_EQ(form->activenote(), 62);
    EXPECT_EQ(form->notes()[62].selected, kFalse);
    EXPECT_EQ(MarkOf(62), kRed);
    EXPECT_EQ(MarksOfColour(kMagenta), 0);

    // Selected but no longer active: blue, next to the red active mark.
    DoubleClickAt(d4x, 60);
    ClickAt(316.8, 60);
    EXPECT_EQ(MarkOf(62), kBlue);
    EXPECT_EQ(MarkOf(60), kRed);

    // A selection value other than "true" from a settings file shows no mark.
    Seed([](SessionState& st) { st.notes[64].selected = 1; });
    EXPECT_EQ(MarkOf(64).alpha(), 0);
}

// Off the keys (the top row, below the keyboard) a click or double click changes nothing:
// no note 0 becomes active and no Copy to All can then mute every key.
TEST_F(KeyboardTest, ClickOffTheKeysChangesNothing) {
    Start();
    const NoteTable before = form->notes();
    for (const QPoint p : {QPoint(300, 0), QPoint(300, 72)}) {
        SCOPED_TRACE(p.y());
        ClickAt(p.x(), p.y());
        DoubleClickAt(p.x(), p.y());
        EXPECT_EQ(form->activenote(), 60);
        EXPECT_EQ(ui().activeNoteName->text(), "C4");
        EXPECT_EQ(ui().maximumValue->text(), "127");
        EXPECT_EQ(MarksOfColour(kRed), 1);
        EXPECT_EQ(form->notes(), before);
    }
}

// ---- Keys ----

struct KeyRow {
    const char* what;
    int start;
    int qtKey;
    int expected;
};

TEST_F(KeyboardTest, KeysMoveTheActiveNoteWithinTheKeyboard) {
    Start();
    form->show();
    form->activateWindow();
    Pump();
    EXPECT_EQ(form->focusWidget(), piano());

    const KeyRow rows[] = {
        {"up", 60, Qt::Key_Up, 61},
        {"right", 60, Qt::Key_Right, 61},
        {"down", 60, Qt::Key_Down, 59},
        {"left", 60, Qt::Key_Left, 59},
        {"up at the top", 108, Qt::Key_Up, 108},
        {"right at the top", 108, Qt::Key_Right, 108},
        {"down at the bottom", 21, Qt::Key_Down, 21},
        {"left at the bottom", 21, Qt::Key_Left, 21},
        {"home", 30, Qt::Key_Home, 60},
        {"page up", 30, Qt::Key_PageUp, 108},
        {"page down", 90, Qt::Key_PageDown, 21},
        {"down from note 0", 0, Qt::Key_Down, 21},
        {"up from note 0", 0, Qt::Key_Up, 21},
        {"a letter clamps note 0", 0, Qt::Key_A, 21},
        {"a letter keeps a key", 70, Qt::Key_A, 70},
        {"a letter clamps a stored 120", 120, Qt::Key_A, 108},
    };
    for (const KeyRow& r : rows) {
        SCOPED_TRACE(r.what);
        Seed([&](SessionState& st) { st.activenote = static_cast<std::uint8_t>(r.start); });
        Press(r.qtKey);
        EXPECT_EQ(form->activenote(), r.expected);
        EXPECT_EQ(ui().activeNoteName->text(), note_num2name(r.expected));
        EXPECT_EQ(MarkOf(r.expected), kRed);
        EXPECT_EQ(MarksOfColour(kRed), 1);
    }
    form->hide();
}

// ---- Key lighting ----

struct LightRow {
    const char* what;
    int note;
    int velocity;
    int vmax;              // of the played note's entry
    int transposePosition; // 12 is no transposition
    int key;               // lit key
    int mapped;
};

TEST_F(KeyboardTest, NoteOnLightsTheSoundingKeyWithABar) {
    const LightRow rows[] = {
        {"white key, velocity 100", 60, 100, 127, 12, 60, 100},
        {"white key, velocity 64", 60, 64, 127, 12, 60, 64},
        {"whole face at 127", 60, 127, 127, 12, 60, 127},
        {"height from the sent velocity", 60, 100, 64, 12, 60, 50},
        {"black key", 61, 100, 64, 12, 61, 50},
        {"black key full", 70, 127, 127, 12, 70, 127},
        {"plus 12 lights an octave up", 60, 100, 127, 24, 72, 100},
        {"minus 12 lights an octave down", 60, 100, 127, 0, 48, 100},
        {"lowest key", 21, 90, 127, 12, 21, 90},
        {"highest key", 108, 90, 127, 12, 108, 90},
    };
    for (const LightRow& r : rows) {
        SCOPED_TRACE(r.what);
        Start();
        Seed([&](SessionState& st) {
            st.notes[static_cast<std::size_t>(r.note)].vmax = static_cast<std::uint8_t>(r.vmax);
        });
        form->SelectByProgram(ui().transposeList, r.transposePosition);
        const QImage before = piano()->image().copy();
        midi.ClearSent();

        ASSERT_TRUE(midi.Inject(0x90, static_cast<std::uint8_t>(r.note),
                                static_cast<std::uint8_t>(r.velocity)));
        Pump();
        ASSERT_EQ(midi.Sent(), (std::vector<Bytes>{{0x90, static_cast<std::uint8_t>(r.key),
                                                    static_cast<std::uint8_t>(r.mapped)}}))
            << Hex(midi.Sent());

        const KeyInfo& k = Key(r.key);
        const double height = (k.facebottom - k.facetop) * r.mapped / 127.0;
        const QColor bar(2 * r.velocity, 0, 0);
        const int x = MidX(r.key);
        // Rows clear of the bar's rounded top edge: inside red, above untouched.
        for (int y = k.facetop; y <= LastRow(r.key); ++y) {
            if (y >= k.facebottom - height + 1) {
                EXPECT_EQ(Pixel(x, y), bar) << "row " << y;
            } else if (y <= k.facebottom - height - 1) {
                EXPECT_EQ(Pixel(x, y), before.pixelColor(x, y)) << "row " << y;
            }
        }
        // The bar spans the face exactly: its edges are painted, the lines beside it not.
        const int y = LastRow(r.key);
        EXPECT_EQ(Pixel(k.faceleft, y), bar);
        EXPECT_EQ(Pixel(k.faceright, y), bar);
        EXPECT_EQ(Pixel(k.faceleft - 1, y), before.pixelColor(k.faceleft - 1, y));
        EXPECT_EQ(Pixel(k.faceright + 1, y), before.pixelColor(k.faceright + 1, y));
        // Nothing else of the keyboard changed.
        QImage masked = piano()->image().copy();
        for (int yy = k.facetop; yy <= LastRow(r.key); ++yy)
            for (int xx = k.faceleft; xx <= k.faceright; ++xx)
                masked.setPixelColor(xx, yy, before.pixelColor(xx, yy));
        EXPECT_EQ(masked, before);
        form.reset();
    }
}

struct ReleaseRow {
    const char* what;
    int note;
    Bytes end;
};

TEST_F(KeyboardTest, ReleasePutsTheRestingColourBack) {
    const ReleaseRow rows[] = {
        {"white key, note-off", 60, {0x80, 60, 0}},
        {"white key, note-on velocity 0", 60, {0x90, 60, 0}},
        {"black key, note-off", 61, {0x80, 61, 64}},
        {"black key, note-on velocity 0", 63, {0x90, 63, 0}},
    };
    for (const ReleaseRow& r : rows) {
        SCOPED_TRACE(r.what);
        Start();
        const KeyInfo& k = Key(r.note);
        const bool black = k.facetop == 0;
        const QImage rest = piano()->image().copy();
        const QColor drawn = Pixel(MidX(r.note), (k.facetop + LastRow(r.note)) / 2);
        if (black) {
            // Black keys rest in the colour they were first drawn with.
            EXPECT_NE(drawn, kWhite);
            EXPECT_EQ(k.facecolor, 0xAAAAAAAAu);
        } else {
            EXPECT_EQ(drawn, kWhite);
            EXPECT_EQ(k.facecolor, 0xFFFFFFu);
        }

        ASSERT_TRUE(midi.Inject(0x90, static_cast<std::uint8_t>(r.note), 127));
        Pump();
        ASSERT_EQ(Pixel(MidX(r.note), LastRow(r.note)), QColor(254, 0, 0));
        ASSERT_TRUE(midi.Inject(r.end));
        Pump();
        EXPECT_EQ(Pixel(MidX(r.note), LastRow(r.note)), drawn);
        // The key looks exactly as before it sounded: face and outlines alike.
        int changed = 0;
        for (int y = 0; y < rest.height(); ++y)
            for (int x = 0; x < rest.width(); ++x)
                if (Pixel(x, y) != rest.pixelColor(x, y) && changed++ < 3)
                    ADD_FAILURE() << "pixel " << x << "," << y << " was "
                                  << rest.pixelColor(x, y).name().toStdString() << ", now "
                                  << Pixel(x, y).name().toStdString();
        EXPECT_EQ(changed, 0);
        form.reset();
    }
}

TEST_F(KeyboardTest, NoteBelowTheCutOffShowsNoBar) {
    Start();
    for (int n : {60, 61}) {
        SCOPED_TRACE(n);
        Seed([&](SessionState& st) { st.notes[static_cast<std::size_t>(n)].vcut = 50; });
        const QImage before = piano()->image().copy();
        midi.ClearSent();
        ASSERT_TRUE(midi.Inject(0x90, static_cast<std::uint8_t>(n), 49));
        Pump();
        EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0x90, static_cast<std::uint8_t>(n), 0}}));
        EXPECT_EQ(piano()->image(), before);
    }
}

// A shorter bar over a taller one leaves the top of the taller one until the release.
TEST_F(KeyboardTest, ShorterBarKeepsTheTopOfTheTallerOne) {
    Start();
    const KeyInfo& k = Key(60);
    const int x = MidX(60);
    ASSERT_TRUE(midi.Inject(0x90, 60, 127));
    ASSERT_TRUE(midi.Inject(0x90, 60, 20));
    Pump();
    EXPECT_EQ(Pixel(x, k.facetop), QColor(254, 0, 0));
    EXPECT_EQ(Pixel(x, LastRow(60)), QColor(40, 0, 0));
}

TEST_F(KeyboardTest, TransposedNoteEndsOnTheKeyItLit) {
    Start();
    form->SelectByProgram(ui().transposeList, 24);
    const QImage rest = piano()->image().copy();
    ASSERT_TRUE(midi.Inject(0x90, 60, 100));
    Pump();
    EXPECT_EQ(Pixel(MidX(72), LastRow(72)), QColor(200, 0, 0));
    EXPECT_EQ(Pixel(MidX(60), LastRow(60)), rest.pixelColor(MidX(60), LastRow(60)));

    // The transposition is undone while the key is held; the release still finds key 72.
    form->SelectByProgram(ui().transposeList, 12);
    midi.ClearSent();
    ASSERT_TRUE(midi.Inject(0x80, 60, 0));
    Pump();
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0x80, 72, 0}}));
    EXPECT_EQ(Pixel(MidX(72), LastRow(72)), kWhite);
}

// A key struck again after the transposition changed, with no note-off between: the
// first sound is ended where it went out before the new one starts.
TEST_F(KeyboardTest, RestrikeAfterTransposingEndsTheFirstSound) {
    Start();
    ASSERT_TRUE(midi.Inject(0x90, 60, 100));
    Pump();
    ASSERT_EQ(Pixel(MidX(60), LastRow(60)), QColor(200, 0, 0));

    // Chosen the way the user does it: the list's activation.
    PickFromList(ui().transposeList, 24);
    midi.ClearSent();
    ASSERT_TRUE(midi.Inject(0x90, 60, 90));
    Pump();
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0x80, 60, 64}, {0x90, 72, 90}}))
        << Hex(midi.Sent());
    EXPECT_EQ(Pixel(MidX(60), LastRow(60)), kWhite);
    EXPECT_EQ(Pixel(MidX(72), LastRow(72)), QColor(180, 0, 0));

    midi.ClearSent();
    ASSERT_TRUE(midi.Inject(0x80, 60, 0));
    Pump();
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0x80, 72, 0}}));
    EXPECT_EQ(Pixel(MidX(72), LastRow(72)), kWhite);
    // Neither sound is remembered as still sounding: Notes OFF has no note left to end.
    midi.ClearSent();
    QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);
    EXPECT_EQ(midi.Sent(), NothingLeftToEnd()) << Hex(midi.Sent());
}

// ---- Notes OFF ----

TEST_F(KeyboardTest, NotesOffSilencesAndClearsEveryBar) {
    Start();
    const QImage rest = piano()->image().copy();
    ASSERT_TRUE(midi.Inject(0x90, 60, 100)); // its note-off never comes
    ASSERT_TRUE(midi.Inject(0x91, 61, 100));
    Pump();
    form->SelectByProgram(ui().transposeList, 14);
    ASSERT_TRUE(midi.Inject(0x90, 64, 100)); // sounds as 66
    Pump();
    // A bar the path does not know of: the button clears by note number, not by memory.
    piano()->MarkSounding(90, 100, 127);
    ASSERT_NE(piano()->image(), rest);
    midi.ClearSent();

    QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);

    const auto sent = midi.Sent();
    ASSERT_EQ(sent.size(), 1u + 3u + 32u) << Hex(sent);
    EXPECT_EQ(sent.front(), Bytes{0xFF});
    std::vector<Bytes> offs(sent.begin() + 1, sent.begin() + 4);
    std::sort(offs.begin(), offs.end());
    EXPECT_EQ(offs, (std::vector<Bytes>{{0x80, 60, 64}, {0x80, 66, 64}, {0x81, 61, 64}}))
        << Hex(sent);
    EXPECT_EQ(std::vector<Bytes>(sent.begin() + 4, sent.end()), PedalAndAllNotesOff());

    // Every face rests again: white faces white, black faces in the colour the black
    // keys were first drawn with (whether outlines survive is the release test's concern).
    for (int n = 21; n <= 108; ++n) {
        const KeyInfo& k = Key(n);
        const QColor want = k.facetop == 0 ? rest.pixelColor(MidX(n), k.facebottom / 2) : kWhite;
        for (int y = k.facetop; y <= LastRow(n); ++y)
            for (int x = k.faceleft; x <= k.faceright; ++x)
                ASSERT_EQ(Pixel(x, y), want) << "key " << n << " at " << x << "," << y;
    }
    EXPECT_TRUE(ui().notesOffButton->isEnabled());
    // Every note is forgotten: pressed again, Notes OFF has no note left to end.
    midi.ClearSent();
    QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);
    EXPECT_EQ(midi.Sent(), NothingLeftToEnd()) << Hex(midi.Sent());
    // The transposition and the channel table stay as they were.
    EXPECT_EQ(ui().transposeList->currentText(), " 2");
    EXPECT_EQ(form->notes()[64].outnote, 66);
}

TEST_F(KeyboardTest, NotesOffWithTheOutputClosedStillClearsTheKeyboard) {
    midi.failingDevices = {"Synth Out"};
    Start();
    ASSERT_EQ(boxes.shown.size(), 1u);
    ASSERT_EQ(midi.OpenedOutput(), "");
    ASSERT_TRUE(midi.Inject(0x90, 60, 100));
    ASSERT_TRUE(midi.Inject(0x90, 61, 100));
    Pump();
    ASSERT_EQ(Pixel(MidX(60), LastRow(60)), QColor(200, 0, 0));

    QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);

    EXPECT_TRUE(midi.Sent().empty());
    EXPECT_EQ(Pixel(MidX(60), LastRow(60)), kWhite);
    EXPECT_NE(Pixel(MidX(61), LastRow(61)), QColor(200, 0, 0));
    EXPECT_NE(Pixel(MidX(61), LastRow(61)), kWhite);
    EXPECT_TRUE(ui().notesOffButton->isEnabled());
    EXPECT_EQ(boxes.shown.size(), 1u); // nothing reported
}

} // namespace
} // namespace velomire::testing

namespace velomire::testing {
namespace {

// Both views act on keys, so each shows a focus frame while it has the focus, drawn over
// its picture, never into it.
TEST_F(KeyboardTest, ViewsShowWhenTheyHaveTheFocus) {
    Start();
    QApplication::setActiveWindow(form.get());
    for (PictureBox* view :
         {static_cast<PictureBox*>(piano()), static_cast<PictureBox*>(ui().curveView)}) {
        SCOPED_TRACE(view->objectName().toStdString());
        const QImage picture = view->image().copy();
        view->setFocus();
        const QImage focused = view->grab().toImage();
        ui().saveButton->setFocus();
        const QImage unfocused = view->grab().toImage();
        EXPECT_NE(focused, unfocused);
        EXPECT_EQ(view->image(), picture);
    }
}

} // namespace
} // namespace velomire::testing
