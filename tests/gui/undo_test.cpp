// Undo and redo of every kind of change to what plays, through the window's own keys, and
// the controls showing what is in force afterwards.

#include "core/keyboard/note_names.h"
#include "gui_fixture.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>

#include <functional>

namespace velomire::testing {
namespace {

class UndoTest : public FormTest {
protected:
    // Every control that shows the session agrees with it.
    void ExpectControlsShowTheSession() {
        const Session& s = form->session();
        const NoteSetting& a = s.active();
        EXPECT_EQ(ui().activeNoteName->text(), note_num2name(s.activenote()));
        EXPECT_EQ(ui().cutOffValue->text(), QString::number(a.vcut));
        EXPECT_EQ(ui().maximumValue->text(), QString::number(a.vmax));
        EXPECT_EQ(ui().cutOffBar->value(), a.vcut);
        EXPECT_EQ(MainWindow::VmaxAt(ui().maximumBar->value()), a.vmax);
        EXPECT_EQ(ui().transposeList->currentIndex(),
                  s.transposition().value_or(-13) + kTransposeRange);
        EXPECT_EQ(ui().remapToChannelOne->isChecked(), s.remap());
        const KeyInfo& k = ui().keyboardView->Keys()[s.activenote()];
        EXPECT_EQ(ui().keyboardView->Marks().pixelColor(k.markx, k.marky).alpha(), 255);
    }
    void Key(int key, Qt::KeyboardModifiers mods) {
        QTest::keyClick(ui().keyboardView, static_cast<Qt::Key>(key), mods);
    }
    QPoint KeyCentre(int n) {
        const KeyInfo& k = ui().keyboardView->Keys()[static_cast<std::size_t>(n)];
        return QPoint(k.faceleft + PictureBox::kBorder + 2, k.facebottom + PictureBox::kBorder - 2);
    }
    QPoint OnCurve(double xn, double yn) {
        const CurveView* v = ui().curveView;
        return QPoint(PictureBox::kBorder + static_cast<int>(xn * v->ScaleWidth()),
                      PictureBox::kBorder + static_cast<int>((1 - yn) * v->ScaleHeight()));
    }
};

TEST_F(UndoTest, EveryChangeIsOneStepBackAndForth) {
    Start();
    QApplication::setActiveWindow(form.get());
    ui().keyboardView->setFocus();
    // A selected key with its own curve, for the spread to the key double-clicked below.
    Seed([](SessionState& st) {
        st.notes[50].selected = kTrue;
        st.notes[50].exp = 3.0;
    });
    struct Row {
        const char* what;
        std::function<void()> act;
    };
    const Row rows[] = {
        {"a whole drag",
         [&] {
             QTest::mousePress(ui().curveView, Qt::LeftButton, {}, OnCurve(0.5, 0.25));
             for (double x = 0.3; x < 0.8; x += 0.1)
                 QTest::mouseMove(ui().curveView, OnCurve(x, 0.2));
             QTest::mouseRelease(ui().curveView, Qt::LeftButton, {}, OnCurve(0.7, 0.2));
         }},
        {"cut-off arrow",
         [&] { ui().cutOffBar->triggerAction(QAbstractSlider::SliderPageStepAdd); }},
        {"maximum", [&] { ui().maximumBar->setValue(MainWindow::VmaxAt(90)); }},
        {"copy to all", [&] { ui().copyToAllButton->click(); }},
        {"reset all", [&] { ui().resetAllButton->click(); }},
        {"click a key",
         [&] { QTest::mouseClick(ui().keyboardView, Qt::LeftButton, {}, KeyCentre(64)); }},
        {"double-click a key",
         [&] { QTest::mouseDClick(ui().keyboardView, Qt::LeftButton, {}, KeyCentre(67)); }},
        {"spread", [&] { ui().spreadButton->click(); }},
        {"transpose", [&] { PickFromList(ui().transposeList, 15); }},
        {"remap", [&] { ui().remapToChannelOne->click(); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const SessionState before = form->session().State();
        const int steps = form->session().UndoDepth();
        r.act();
        const SessionState after = form->session().State();
        ASSERT_NE(after, before);
        ASSERT_EQ(form->session().UndoDepth(), steps + 1) << "one step";
        // The offscreen platform leaves a closed list's popup the active window.
        QApplication::setActiveWindow(form.get());
        ui().keyboardView->setFocus();
        Key(Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(form->session().State(), before);
        ExpectControlsShowTheSession();
        Key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(form->session().State(), after);
        Key(Qt::Key_Z, Qt::ControlModifier);
        Key(Qt::Key_Y, Qt::ControlModifier);
        EXPECT_EQ(form->session().State(), after);
        ExpectControlsShowTheSession();
    }
}

} // namespace
} // namespace velomire::testing
