// The main window as a whole: what startup leaves behind, the fixed layout, and the
// retained drawing surfaces.

#include "gui_fixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPixmap>

#include <ostream>

namespace velomire::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kBorder = PictureBox::kBorder;

QColor Rgb(const QImage& img, int x, int y) {
    return QColor::fromRgb(img.pixel(x, y));
}

class WindowTest : public FormTest {};

TEST_F(WindowTest, StartupLeavesTheWindowReadyToPlay) {
    Start();

    QStringList transpose;
    for (int i = 0; i < ui().transposeList->count(); ++i)
        transpose << ui().transposeList->itemText(i);
    EXPECT_EQ(transpose, QStringList({"-12", "-11", "-10", "-9", "-8",  "-7",  "-6", "-5", "-4",
                                      "-3",  "-2",  "-1",  " 0", " 1",  " 2",  " 3", " 4", " 5",
                                      " 6",  " 7",  " 8",  " 9", " 10", " 11", " 12"}));
    EXPECT_EQ(ui().transposeList->currentText(), " 0");
    for (int n = 0; n <= 127; ++n)
        ASSERT_EQ(form->notes()[static_cast<std::size_t>(n)].outnote, n) << n;

    EXPECT_EQ(form->activenote(), 60);
    EXPECT_EQ(ui().activeNoteName->text(), "C4");
    EXPECT_FALSE(ui().remapToChannelOne->isChecked());
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(form->session().channels()[static_cast<std::size_t>(c)], c) << c;

    EXPECT_EQ(midi.OpenedOutput(), "Synth Out");
    EXPECT_EQ(midi.OpenedInput(), "Keys In");
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0xB0, 0x7A, 0x00}}));
    EXPECT_TRUE(boxes.shown.empty());
}

// Without a Default setting only the 88 keys have curves; entry 0 was touched by startup
// before the key table existed.
TEST_F(WindowTest, EntriesOffTheKeyboardKeepNoCurve) {
    Start();
    const NoteTable& notes = form->notes();
    for (int n = 0; n <= 128; ++n) {
        const NoteSetting& s = notes[static_cast<std::size_t>(n)];
        if (n >= 21 && n <= 108) {
            EXPECT_EQ(s.vmax, 127) << n;
            EXPECT_EQ(s.exp, 1.0) << n;
        } else {
            EXPECT_EQ(s.vmax, 0) << n;
            EXPECT_EQ(s.vcut, 0) << n;
            EXPECT_EQ(s.exp, n == 0 ? 1.0 : 0.0) << n;
        }
    }
}

// No device to choose, because there is none or because the MIDI system went away before
// the first look: the lists still offer "Not Enabled", and nothing is opened or said.
TEST_F(WindowTest, NoDevicesAtAllStartsQuietly) {
    for (const bool alive : {true, false}) {
        SCOPED_TRACE(alive ? "no devices" : "MIDI system gone");
        midi.inputs = alive ? std::vector<std::string>{} : std::vector<std::string>{"Keys In"};
        midi.outputs = alive ? std::vector<std::string>{} : std::vector<std::string>{"Synth Out"};
        midi.SetAlive(alive);
        midi.ClearEvents();
        Start();
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_TRUE(midi.Events().empty());
        EXPECT_TRUE(midi.Sent().empty());
        EXPECT_EQ(ui().inputList->currentText(), "Not Enabled");
        EXPECT_EQ(ui().outputList->currentText(), "Not Enabled");
        // The window still works: the keyboard answers and input has nowhere to go.
        EXPECT_FALSE(midi.Inject(0x90, 60, 100));
        QTest::keyClick(ui().keyboardView, Qt::Key_Up);
        EXPECT_EQ(form->activenote(), 61);
        QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);
        EXPECT_TRUE(midi.Sent().empty());
        form.reset();
    }
}

struct Place {
    const char* name;
    const char* container;
    int left, top, width, height; // twips
};

// Design positions in twips; the window lays out at 15 twips a pixel.
TEST_F(WindowTest, ControlsSitWhereTheLayoutPutsThem) {
    Start();
    const Place places[] = {
        {"keyboardView", "MainWindow", 120, 4020, 10575, 1095},
        {"velocityGroup", "MainWindow", 5280, 0, 5415, 3615},
        {"curveView", "velocityGroup", 1920, 240, 3015, 2895},
        {"maximumBar", "velocityGroup", 5040, 240, 255, 2895},
        {"cutOffBar", "velocityGroup", 1920, 3240, 3015, 255},
        {"devicesGroup", "MainWindow", 240, 0, 4935, 1095},
        {"outputList", "devicesGroup", 1440, 600, 3375, 315},
        {"noteGroup", "MainWindow", 240, 1200, 4935, 975},
        {"activeNoteName", "noteGroup", 3600, 240, 1215, 615},
        {"notesOffButton", "MainWindow", 3720, 2880, 1455, 735},
        {"transposeList", "MainWindow", 2760, 3240, 855, 315},
        {"remapToChannelOne", "MainWindow", 240, 2760, 2055, 255},
    };
    for (const Place& p : places) {
        SCOPED_TRACE(p.name);
        const QWidget* w = form->findChild<QWidget*>(p.name);
        ASSERT_NE(w, nullptr);
        ASSERT_NE(w->parentWidget(), nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), p.container);
        EXPECT_EQ(w->geometry(), QRect(p.left / 15, p.top / 15, p.width / 15, p.height / 15));
    }
}

TEST_F(WindowTest, WindowIsFixedAndTitled) {
    Start();
    EXPECT_EQ(form->size(), QSize(725, 358));
    EXPECT_EQ(form->minimumSize(), QSize(725, 358));
    EXPECT_EQ(form->maximumSize(), QSize(725, 358));
    EXPECT_TRUE(form->windowTitle().startsWith("Velomire v1.0 -  "))
        << form->windowTitle().toStdString();
    EXPECT_FALSE(form->windowTitle().startsWith("Velomire v1.0 -   "));
    // The keyboard's drawing area is its box less the 2-pixel border.
    EXPECT_EQ(ui().keyboardView->ScaleWidth(), 701);
    EXPECT_EQ(ui().keyboardView->ScaleHeight(), 69);
    EXPECT_EQ(ui().keyboardView->image().size(), QSize(701, 69));

    const QFont f = ui().activeNoteName->font();
    EXPECT_EQ(f.family(), "Arial");
    EXPECT_EQ(f.pointSize(), 24);
    EXPECT_FALSE(f.bold());
    EXPECT_FALSE(f.italic());
    EXPECT_TRUE(ui().activeNoteName->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(ui().notesOffButton->text(), "Notes OFF");
    EXPECT_EQ(ui().remapToChannelOne->text(), "remap all to channel 1");
}

TEST_F(WindowTest, TabOrderStartsAtTheKeyboard) {
    Start();
    EXPECT_EQ(form->focusWidget(), ui().keyboardView);

    // Left to right, top to bottom: the left column, the velocity group, the keyboard;
    // controls that take no focus by Tab are passed over.
    const QStringList layout = {"keyboardView",      "inputList",         "outputList",
                                "unselectAllButton", "settingsList",      "saveButton",
                                "remapToChannelOne", "listenButton",      "notesOffButton",
                                "calibrateButton",   "transposeList",     "copyToAllButton",
                                "spreadButton",      "resetActiveButton", "resetAllButton",
                                "curveView",         "maximumBar",        "cutOffBar"};
    const auto tabbable = [](const QWidget* w) { return (w->focusPolicy() & Qt::TabFocus) != 0; };
    QStringList expected;
    for (const QString& name : layout)
        if (tabbable(form->findChild<QWidget*>(name)))
            expected << name;
    ASSERT_GE(expected.size(), 10) << "most controls should be reachable by Tab";

    QStringList order;
    QWidget* w = ui().keyboardView;
    do {
        if (tabbable(w) && layout.contains(w->objectName()) && !order.contains(w->objectName()))
            order << w->objectName();
        w = w->nextInFocusChain();
    } while (w != ui().keyboardView);
    EXPECT_EQ(order, expected);

    // A real Tab on the keyboard moves on to the first control at the top.
    form->show();
    form->activateWindow();
    Pump();
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QCoreApplication::sendEvent(ui().keyboardView, &tab);
    EXPECT_EQ(form->focusWidget(), ui().inputList);
    EXPECT_EQ(form->activenote(), 60); // Tab is no key for the keyboard
    form->hide();
}

// Bars and marks live in retained images: a repaint shows them again without any of the
// drawing being redone.
TEST_F(WindowTest, RepaintsShowWhatWasDrawn) {
    Start();
    const KeyInfo& c4 = ui().keyboardView->Keys()[60];
    const KeyInfo& cs4 = ui().keyboardView->Keys()[61];
    ASSERT_TRUE(midi.Inject(0x90, 60, 127));
    ASSERT_TRUE(midi.Inject(0x90, 61, 127));
    Pump();

    const auto check = [&](const char* when) {
        SCOPED_TRACE(when);
        const QImage piano = ui().keyboardView->grab().toImage();
        const int x = (c4.faceleft + c4.faceright) / 2 + kBorder;
        const int bx = (cs4.faceleft + cs4.faceright) / 2 + kBorder;
        EXPECT_EQ(Rgb(piano, x, c4.facetop + kBorder), QColor(254, 0, 0));
        EXPECT_EQ(Rgb(piano, x, (c4.facetop + c4.facebottom) / 2 + kBorder), QColor(254, 0, 0));
        EXPECT_EQ(Rgb(piano, bx, cs4.facebottom + kBorder), QColor(254, 0, 0));
        // A key that never sounded keeps the keyboard's own look.
        const KeyInfo& d4 = ui().keyboardView->Keys()[62];
        EXPECT_EQ(Rgb(piano, (d4.faceleft + d4.faceright) / 2 + kBorder,
                      (d4.facetop + d4.facebottom) / 2 + kBorder),
                  Rgb(ui().keyboardView->image(), (d4.faceleft + d4.faceright) / 2,
                      (d4.facetop + d4.facebottom) / 2));
        const QImage window = form->grab().toImage();
        EXPECT_EQ(Rgb(window, c4.markx, c4.marky), QColor(255, 0, 0));
    };

    check("grab before showing");
    form->show();
    Pump();
    check("shown");
    form->hide();
    Pump();
    form->show();
    Pump();
    check("shown again");
    form->hide();
}

} // namespace
} // namespace velomire::testing
