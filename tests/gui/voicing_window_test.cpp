// The voicing window through real events: a key set aside taken back from the keyboard, the
// slider's "every key even" end, Apply as one exact undo step, the run after Apply played
// through the corrections, and Escape that changes nothing.

#include "gui_fixture.h"
#include "ui/voicing_window.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include <cmath>

namespace velomire::testing {
namespace {

class VoicingWindowTest : public FormTest {
protected:
    // An octave whose keys differ by a few LU; E♭4 (63) is far under the others.
    static LoudnessTable Heard() {
        LoudnessTable t({32, 64, 127});
        for (int k = 60; k <= 71; ++k)
            for (int i = 0; i < t.VelocityCount(); ++i) {
                const double gain = k == 63 ? -50.0 : -20.0 + 3.0 * std::sin(k * 1.3);
                t.Set(k, i,
                      gain +
                          40.0 * std::log10(t.Velocities()[static_cast<std::size_t>(i)] / 127.0));
            }
        return t;
    }
    VoicingWindow& Open() {
        Start();
        window = new VoicingWindow(form->session(), boxes, Heard(), form.get());
        window->show();
        QApplication::setActiveWindow(window);
        Pump();
        return *window;
    }
    VoicingWindow* window = nullptr;
};

TEST_F(VoicingWindowTest, TakeBackEvenOutApplyUndoAndMeasureAgain) {
    VoicingWindow& w = Open();
    Session& session = form->session();
    const NoteTable before = session.notes();
    EXPECT_EQ(w.result().keys[63].reason, VoicingSetAside::FarBelow);

    // The slider's far end evens out every key it counts.
    w.shareSlider()->setFocus();
    QTest::keyClick(w.shareSlider(), Qt::Key_End);
    EXPECT_TRUE(w.result().ShortKeys().empty()) << w.figures()->text().toStdString();

    // The chart walks the keys; the far-below key can be counted again.
    QWidget* chart = reinterpret_cast<QWidget*>(w.chart());
    chart->setFocus();
    QTest::keyClick(chart, Qt::Key_Home);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(chart, Qt::Key_Right);
    EXPECT_EQ(w.selected(), 63);
    EXPECT_TRUE(w.readout()->text().contains("set aside")) << w.readout()->text().toStdString();
    ASSERT_TRUE(w.takeBackButton()->isEnabled());
    QTest::mouseClick(w.takeBackButton(), Qt::LeftButton);
    EXPECT_EQ(w.result().keys[63].status, VoicingStatus::Fitted);

    const int depth = session.UndoDepth();
    QTest::mouseClick(w.applyButton(), Qt::LeftButton);
    const NoteTable after = session.notes();
    EXPECT_EQ(session.UndoDepth(), depth + 1);
    EXPECT_NE(after[60], before[60]);
    EXPECT_EQ(after[72], before[72]); // not measured, not touched
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(session.notes(), before);
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(session.notes(), after);

    // The run after Apply plays each key through its correction alone.
    std::function<int(int, int)> played;
    w.SetRemeasure([&](std::function<int(int, int)> map) {
        played = std::move(map);
        return QString();
    });
    QTest::mouseClick(w.measureButton(), Qt::LeftButton);
    ASSERT_TRUE(played);
    const KeyVoicing& quiet = w.result().keys[60];
    EXPECT_EQ(played(60, 127), MapVelocity(127, quiet.correctionExp, 0, quiet.correctionVmax));
    w.ShowReached(Heard());
    EXPECT_TRUE(w.figures()->text().contains("Measured after Apply"))
        << w.figures()->text().toStdString();
}

TEST_F(VoicingWindowTest, EscapeChangesNothing) {
    VoicingWindow& w = Open();
    const NoteTable before = form->session().notes();
    const int depth = form->session().UndoDepth();
    QTest::keyClick(&w, Qt::Key_Escape);
    Pump();
    EXPECT_EQ(form->session().notes(), before);
    EXPECT_EQ(form->session().UndoDepth(), depth);
}

} // namespace
} // namespace velomire::testing
