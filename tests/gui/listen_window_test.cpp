// The listen window where no JACK server answers, and what it takes for velocities.

#include "gui/gui_fixture.h"
#include "ui/listen_window.h"
#include "ui_main_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace velomire::testing {
namespace {

class ListenWindowTest : public FormTest {};

TEST_F(ListenWindowTest, WithoutAJackServerItSaysSoAndPlaysNothing) {
    // No server under this name, and none is ever started for it.
    const QByteArray before = qgetenv("JACK_DEFAULT_SERVER");
    qputenv("JACK_DEFAULT_SERVER", QByteArrayLiteral("velomire-no-such-server"));
    Start();
    QTest::mouseClick(ui().listenButton, Qt::LeftButton);
    Pump();
    auto* window = form->findChild<ListenWindow*>();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->status()->text().contains(QStringLiteral("JACK server")))
        << window->status()->text().toStdString();
    EXPECT_FALSE(window->startButton()->isEnabled());
    EXPECT_FALSE(window->sourceList()->isEnabled());
    // Left open: the main window's end takes it, and it lets go of the session first.
    if (before.isNull())
        qunsetenv("JACK_DEFAULT_SERVER");
    else
        qputenv("JACK_DEFAULT_SERVER", before);
}

TEST(ListenVelocities, TakesNumbersFromOneTo127AndNoMoreThanTheTableHolds) {
    const struct {
        const char* typed;
        std::vector<int> taken;
    } rows[] = {
        {"32 64 96 127", {32, 64, 96, 127}},
        {"  100  ", {100}},
        {"1 127", {1, 127}},
        {"0 64", {}},
        {"64 128", {}},
        {"64 loud", {}},
        {"64,96", {}},
        {"", {}},
        {"10 20 30 40 50 60 70 80 90", {}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ListenWindow::ParseVelocities(QString::fromLatin1(r.typed)), r.taken) << r.typed;
}

} // namespace
} // namespace velomire::testing
