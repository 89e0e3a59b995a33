// The calibration window through real events: keyboard use, a fit that played strikes do not
// throw away, keys set aside and taken back, and a layout that never overlaps.

#include "gui_fixture.h"
#include "ui/calibration_window.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>

namespace velomire::testing {
namespace {

class CalibrationWindowTest : public FormTest {
protected:
    CalibrationWindow& Open() {
        Start();
        QTest::mouseClick(ui().calibrateButton, Qt::LeftButton);
        window = form->findChild<CalibrationWindow*>();
        EXPECT_NE(window, nullptr);
        window->show();
        QApplication::setActiveWindow(window);
        Pump();
        return *window;
    }
    // Every key five times at about `level`; A2 (45) sends a fifth of that.
    void Play(int level) {
        for (int strike = 0; strike < 5; ++strike)
            for (int n = kLowestKey; n <= kHighestKey; ++n) {
                const int v = n == 45 ? level / 5 : level + (n * 7 + strike * 3) % 9 - 4;
                midi.Inject(0x90, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(v));
                midi.Inject(0x80, static_cast<std::uint8_t>(n), 0);
            }
        Pump();
    }
    void PlayBothAndFit() {
        Play(45);
        QTest::mouseClick(window->firmButton(), Qt::LeftButton);
        Play(100);
        QTest::mouseClick(window->fitButton(), Qt::LeftButton);
        ASSERT_TRUE(window->result().has_value());
    }
    CalibrationWindow* window = nullptr;
};

// Tab reaches the passes and the chart; arrows walk the keys, named in the readout.
TEST_F(CalibrationWindowTest, WorksFromTheKeyboard) {
    CalibrationWindow& w = Open();
    QWidget* chart = reinterpret_cast<QWidget*>(w.chart());
    EXPECT_EQ(w.focusWidget(), chart);
    QStringList reached;
    QWidget* at = chart;
    do {
        reached << at->metaObject()->className() + QStringLiteral(":") +
                       (qobject_cast<QPushButton*>(at) ? qobject_cast<QPushButton*>(at)->text()
                                                       : QString());
        at = at->nextInFocusChain();
    } while (at != chart && reached.size() < 40);
    EXPECT_TRUE(reached.contains("QPushButton:&Soft pass")) << reached.join(' ').toStdString();
    EXPECT_TRUE(reached.contains("QPushButton:Fi&rm pass")) << reached.join(' ').toStdString();
    struct Row {
        Qt::Key key;
        int selected;
        const char* named;
    };
    for (const Row& r : {Row{Qt::Key_Home, 21, "A0:"}, Row{Qt::Key_Right, 22, "A#0:"},
                         Row{Qt::Key_End, 108, "C8:"}, Row{Qt::Key_Left, 107, "B7:"}}) {
        QTest::keyClick(chart, r.key);
        EXPECT_EQ(w.selected(), r.selected);
        EXPECT_TRUE(w.readout()->text().startsWith(r.named)) << w.readout()->text().toStdString();
    }
}

// A fit on screen stays while the player goes on playing; the dead key is set aside, named,
// and one click counts it all the same; Esc asks before a fit is lost; Ctrl+Z works here.
TEST_F(CalibrationWindowTest, AFitIsKeptAndItsKeysExplained) {
    CalibrationWindow& w = Open();
    form->session().SetCutOff(30);
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(form->notes()[60].vcut, 0) << "Ctrl+Z undoes from this window too";
    ASSERT_NO_FATAL_FAILURE(PlayBothAndFit());
    const CalibrationResult fit = *w.result();
    EXPECT_EQ(fit.Key(45).reason, SetAsideReason::FarBelow);
    EXPECT_TRUE(w.setAside()->text().contains("A2 sends about 20 % of the others"))
        << w.setAside()->text().toStdString();
    EXPECT_GT(fit.target[1], 80.0) << "the dead key does not pull the others down";

    Play(60); // not counted while the fit is shown
    ASSERT_TRUE(w.result().has_value());
    EXPECT_EQ(w.run().StrikeCount(60, Pass::Firm), 5);

    Q_EMIT w.setAside()->linkActivated(QStringLiteral("45")); // "count it all the same"
    EXPECT_TRUE(w.result()->Key(45).takenBack);
    EXPECT_EQ(w.result()->counted, fit.counted + 1);

    QTest::mouseClick(w.shareSlider(), Qt::LeftButton); // the figures follow the control
    EXPECT_NE(w.result()->target[1], fit.target[1]);

    boxes.answers = {false};
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible()) << "closed without asking";
    EXPECT_EQ(boxes.shown.back().text, "Close without applying the fit?");

    QTest::mouseClick(w.applyButton(), Qt::LeftButton);
    EXPECT_NE(form->notes()[60].exp, 1.0);
}

// At its smallest the rows stand apart: the chart overlaps none of them.
TEST_F(CalibrationWindowTest, NothingOverlapsAtTheSmallestSize) {
    CalibrationWindow& w = Open();
    ASSERT_NO_FATAL_FAILURE(PlayBothAndFit());
    w.resize(1, 1);
    Pump();
    const QRect chart = reinterpret_cast<QWidget*>(w.chart())->geometry();
    for (QWidget* other : std::initializer_list<QWidget*>{w.readout(), w.fitButton(),
                                                          w.figures(), w.applyButton()})
        EXPECT_FALSE(chart.intersects(other->geometry())) << other->metaObject()->className();
    EXPECT_FALSE(w.figures()->geometry().intersects(w.setAside()->geometry()));
}

} // namespace
} // namespace velomire::testing
