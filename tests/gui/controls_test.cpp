// Every control works from the keyboard and shows it has the focus; a burst of presses is
// one undo step; the window offers no Maximize and its marks cover no label.

#include "gui_fixture.h"

#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>

#include <thread>

namespace velomire::testing {
namespace {

class ControlsTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        Start();
        QApplication::setActiveWindow(form.get());
    }
    const NoteSetting& Active() { return form->notes()[form->activenote()]; }
    // Whether the control shows that it takes the focus: it looks different with it.
    static bool ShowsFocus(QWidget* w) {
        w->clearFocus();
        const QImage without = w->grab().toImage();
        w->setFocus();
        return w->grab().toImage() != without;
    }
};

// Each control's keys, one burst each: what the value becomes, and one undo step for all.
TEST_F(ControlsTest, KeysMoveValuesTheWayTheControlShowsThem) {
    struct Row {
        const char* what;
        QWidget* control;
        std::vector<Qt::Key> keys;
        std::function<double()> value;
        double expected;
    };
    const Row rows[] = {
        {"cut-off: Right raises it",
         ui().cutOffBar,
         {Qt::Key_Right, Qt::Key_Right},
         [&] { return double(Active().vcut); },
         2},
        {"cut-off: Up raises it",
         ui().cutOffBar,
         {Qt::Key_Up},
         [&] { return double(Active().vcut); },
         1},
        {"cut-off: Left lowers it",
         ui().cutOffBar,
         {Qt::Key_Right, Qt::Key_Right, Qt::Key_Left},
         [&] { return double(Active().vcut); },
         1},
        {"maximum: Down lowers it",
         ui().maximumBar,
         {Qt::Key_Down, Qt::Key_Down},
         [&] { return double(Active().vmax); },
         125},
        {"curve: Up raises it",
         ui().curveView,
         {Qt::Key_Up, Qt::Key_Plus},
         [&] { return Active().exp; },
         1 / (1.05 * 1.05)},
        {"curve: Page Down, ten steps down",
         ui().curveView,
         {Qt::Key_PageDown},
         [&] { return Active().exp; },
         std::pow(1.05, 10)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Seed([](SessionState& s) { s = Session::FreshState(); }); // and a fresh history
        EXPECT_TRUE(ShowsFocus(r.control));
        for (const Qt::Key key : r.keys)
            QTest::keyClick(r.control, key);
        EXPECT_NEAR(r.value(), r.expected, 1e-9);
        EXPECT_EQ(form->session().UndoDepth(), 1) << "one step for the burst";
    }
    // A pause longer than half a second ends a burst.
    Seed([](SessionState& s) { s = Session::FreshState(); });
    ui().cutOffBar->setFocus();
    QTest::keyClick(ui().cutOffBar, Qt::Key_Right);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    QTest::keyClick(ui().cutOffBar, Qt::Key_Right);
    EXPECT_EQ(form->session().UndoDepth(), 2);
}

TEST_F(ControlsTest, TheWindowOffersNoMaximizeAndItsMarksCoverNoLabel) {
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    for (const auto& [mark, label] : {std::pair{ui().outputMissingMark, ui().outputLabel},
                                      std::pair{ui().inputMissingMark, ui().inputLabel}}) {
        const QRect text = QFontMetrics(label->font()).boundingRect(label->text());
        EXPECT_FALSE(mark->geometry().intersects(text.translated(label->pos())))
            << label->text().toStdString();
    }
}

// A setting file whose name turns the text around is listed escaped, and loads.
TEST_F(ControlsTest, AnExistingNameThatWouldLieIsShownEscaped) {
    QDir().mkpath(WorkDir() + "/cfg");
    QFile file(WorkDir() + QStringLiteral("/cfg/bidi\u202e01.vmc"));
    const SettingsBytes bytes = EncodeSettings(form->session().CaptureSetting({}, {}));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    file.close();
    form.reset();
    Start();
    ASSERT_EQ(ui().settingsList->count(), 1);
    EXPECT_EQ(ui().settingsList->itemText(0), "bidi\\u202e01");
    PickFromList(ui().settingsList, 0);
    EXPECT_EQ(form->session().SettingName(), QStringLiteral("bidi\u202e01"));
    EXPECT_TRUE(boxes.shown.empty());
}

// The question before losing changes names the name they would be saved under.
TEST_F(ControlsTest, TheQuestionNamesTheSetting) {
    ui().cutOffBar->setValue(5);
    ui().settingsList->setEditText(QStringLiteral("Bright"));
    boxes.unsavedAnswers = {MessageBoxes::Unsaved::Cancel};
    form->close();
    ASSERT_EQ(boxes.unsavedAsked.size(), 1u);
    EXPECT_EQ(boxes.unsavedAsked[0], "Save the changes as \"Bright\" before going on?");
}

} // namespace
} // namespace velomire::testing
