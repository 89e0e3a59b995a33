// Choosing MIDI devices in the window: which port opens or stays, what is reported, and
// the Local Control Off that follows every input choice.

#include "gui_fixture.h"
#include "support/test_helpers.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <cstdio>
#include <functional>
#include <ostream>
#include <set>
#include <string>

namespace velomire::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Event = FakeMidiSystem::Event;

const Bytes kLocalControlOff{0xB0, 0x7A, 0x00};
const std::string kVirtual = "Velomire Out (virtual)";

// Puts the opens and closes of both directions and every message sent on one time line, so
// the order between a port changing and a message leaving can be checked.
class TimelineMidiSystem final : public MidiSystem {
public:
    explicit TimelineMidiSystem(FakeMidiSystem& inner) : inner_(inner) {}

    const std::vector<std::string>& Log() {
        CatchUp();
        return log_;
    }
    void ClearLog() {
        CatchUp();
        log_.clear();
    }

    std::string Name() const override { return "timeline"; }
    std::vector<std::string> Sources() override { return inner_.Sources(); }
    std::vector<std::string> Targets() override { return inner_.Targets(); }
    std::string VirtualOutputName() override { return inner_.VirtualOutputName(); }
    void Attach(RealtimeEngine* engine) override { inner_.Attach(engine); }
    bool OpenInput(const std::string& source) override {
        CatchUp();
        log_.push_back("in.open " + source);
        return inner_.OpenInput(source);
    }
    void CloseInput() override {
        CatchUp();
        if (!inner_.OpenedInput().empty())
            log_.push_back("in.close");
        inner_.CloseInput();
    }
    bool OpenOutput(const std::string& target) override {
        CatchUp();
        log_.push_back("out.open " + target);
        return inner_.OpenOutput(target);
    }
    bool CloseOutput() override {
        CatchUp();
        if (!inner_.OpenedOutput().empty())
            log_.push_back("out.close");
        return inner_.CloseOutput();
    }
    void SilenceOutput() override { inner_.SilenceOutput(); }
    void Kick() override { inner_.Kick(); }
    bool Alive() const override { return inner_.Alive(); }
    bool Revive() override { return inner_.Revive(); }

private:
    // The fake runs the MIDI side on this thread, so whatever it recorded as sent since the
    // last look left before the open or close now being logged.
    void CatchUp() {
        const std::vector<Bytes> sent = inner_.Sent();
        if (sent.size() < seen_)
            seen_ = 0; // the test cleared the record
        for (; seen_ < sent.size(); ++seen_)
            log_.push_back("send " + Hex(sent[seen_]));
    }

    FakeMidiSystem& inner_;
    std::vector<std::string> log_;
    std::size_t seen_ = 0;
};

class PortsTest : public FormTest {
protected:
    // Forgets what startup did, so a row sees only its own choice.
    void Forget() {
        midi.ClearEvents();
        midi.ClearSent();
        boxes.shown.clear();
    }
};

TEST_F(PortsTest, StartupOpensOutputThenInputThenSwitchesLocalControlOff) {
    TimelineMidiSystem timeline(midi);
    form = std::make_unique<MainWindow>(timeline, boxes);
    form->Start();
    EXPECT_EQ(timeline.Log(), (std::vector<std::string>{"out.open Synth Out", "in.open Keys In",
                                                        "send B0 7A 00 "}));
    EXPECT_EQ(midi.Events(),
              (std::vector<Event>{{"out.open", "Synth Out"}, {"in.open", "Keys In"}}));
    EXPECT_EQ(ui().outputList->currentIndex(), 2);
    EXPECT_EQ(ui().inputList->currentIndex(), 1);
    QStringList outs;
    for (int i = 0; i < ui().outputList->count(); ++i)
        outs << ui().outputList->itemText(i);
    EXPECT_EQ(outs.size(), 3);
    EXPECT_EQ(outs.value(0), "Not Enabled");
    EXPECT_EQ(outs.value(2), "Synth Out");
    EXPECT_EQ(ui().inputList->itemText(0), "Not Enabled");
    EXPECT_EQ(ui().inputList->itemText(1), "Keys In");
    EXPECT_TRUE(boxes.shown.empty());
    form.reset(); // before the timeline it logs into
}

TEST_F(PortsTest, StartupWithAFailingOutputReportsItOnceAndGoesOn) {
    midi.failingDevices = {"Synth Out"};
    Start();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Velomire");
    EXPECT_EQ(boxes.shown[0].text, "Setting Midi output failed");
    EXPECT_FALSE(boxes.shown[0].question);
    EXPECT_EQ(midi.OpenedOutput(), "");
    EXPECT_EQ(midi.OpenedInput(), "Keys In");
    EXPECT_EQ(form->activenote(), 60); // the rest of startup still ran
}

enum class Via { Program, Activated };

struct ChoiceRow {
    const char* what;
    bool input; // which list
    int position;
    Via via;
    std::set<std::string> failing; // devices that fail from now on
    std::vector<Event> events;
    bool localControlOff;
    bool box;
    std::string openIn, openOut;
};

TEST_F(PortsTest, EachChoiceOpensKeepsOrReportsThePort) {
    const ChoiceRow rows[] = {
        {"output Not Enabled closes the port",
         false,
         0,
         Via::Activated,
         {},
         {{"out.close", "Synth Out"}},
         false,
         false,
         "Keys In",
         ""},
        {"output position 1 is the virtual port",
         false,
         1,
         Via::Activated,
         {},
         {{"out.close", "Synth Out"}, {"out.open", kVirtual}},
         false,
         false,
         "Keys In",
         kVirtual},
        {"output chosen again is reopened",
         false,
         2,
         Via::Program,
         {},
         {{"out.close", "Synth Out"}, {"out.open", "Synth Out"}},
         false,
         false,
         "Keys In",
         "Synth Out"},
        {"output that fails is reported and stays closed",
         false,
         2,
         Via::Activated,
         {"Synth Out"},
         {{"out.close", "Synth Out"}, {"out.open", "Synth Out"}},
         false,
         true,
         "Keys In",
         ""},
        {"virtual output that fails is reported",
         false,
         1,
         Via::Program,
         {kVirtual},
         {{"out.close", "Synth Out"}, {"out.open", kVirtual}},
         false,
         true,
         "Keys In",
         ""},
        {"input Not Enabled closes the port and still sends Local Control Off",
         true,
         0,
         Via::Activated,
         {},
         {{"in.close", "Keys In"}},
         true,
         false,
         "",
         "Synth Out"},
        {"input chosen again is reopened",
         true,
         1,
         Via::Activated,
         {},
         {{"in.close", "Keys In"}, {"in.open", "Keys In"}},
         true,
         false,
         "Keys In",
         "Synth Out"},
        {"input already selected, set by the program, is reopened",
         true,
         1,
         Via::Program,
         {},
         {{"in.close", "Keys In"}, {"in.open", "Keys In"}},
         true,
         false,
         "Keys In",
         "Synth Out"},
        {"input that fails says so and still sends Local Control Off",
         true,
         1,
         Via::Program,
         {"Keys In"},
         {{"in.close", "Keys In"}, {"in.open", "Keys In"}},
         true,
         true,
         "",
         "Synth Out"},
    };
    for (const ChoiceRow& r : rows) {
        SCOPED_TRACE(r.what);
        midi.failingDevices.clear();
        Start();
        // Each row counts every open: a look at the devices meanwhile would retry a failed one.
        form->session().FollowDevices(3'600'000);
        Forget();
        midi.failingDevices = r.failing;
        QComboBox* combo = r.input ? ui().inputList : ui().outputList;
        if (r.via == Via::Program) {
            form->SelectByProgram(combo, r.position);
        } else {
            PickFromList(combo, r.position);
        }
        EXPECT_EQ(midi.Events(), r.events);
        const std::vector<Bytes> sent =
            r.localControlOff ? std::vector<Bytes>{kLocalControlOff} : std::vector<Bytes>{};
        EXPECT_EQ(midi.Sent(), sent);
        ASSERT_EQ(boxes.shown.size(), r.box ? 1u : 0u);
        if (r.box) {
            EXPECT_EQ(boxes.shown[0].title, "Velomire");
            // Each device's failure in its own words.
            EXPECT_EQ(boxes.shown[0].text, r.input ? QStringLiteral("Setting Midi input failed")
                                                   : QStringLiteral("Setting Midi output failed"));
            EXPECT_FALSE(boxes.shown[0].question);
        }
        EXPECT_EQ(midi.OpenedInput(), r.openIn);
        EXPECT_EQ(midi.OpenedOutput(), r.openOut);
        // The list keeps showing the choice, also after a failure.
        EXPECT_EQ(combo->currentIndex(), r.position);
        // Input flows only through an open input.
        EXPECT_EQ(midi.Inject(0x90, 60, 100), !r.openIn.empty());
        Pump();
        form.reset();
    }
}

// Local Control Off goes to whatever output is open when the input is chosen.
TEST_F(PortsTest, LocalControlOffFollowsTheOutput) {
    Start();
    form->SelectByProgram(ui().outputList, 1);
    Forget();
    form->SelectByProgram(ui().inputList, 0);
    EXPECT_EQ(midi.OpenedOutput(), kVirtual);
    EXPECT_EQ(midi.Sent(), std::vector<Bytes>{kLocalControlOff});

    // With the output closed by a failure, the input choice sends nothing and says nothing.
    midi.failingDevices = {"Synth Out"};
    form->SelectByProgram(ui().outputList, 2);
    Forget();
    form->SelectByProgram(ui().inputList, 1);
    EXPECT_TRUE(midi.Sent().empty());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(midi.OpenedInput(), "Keys In");
}

// After a failed input the same port can be opened again once the device is back.
TEST_F(PortsTest, FailedInputRecoversOnTheNextChoice) {
    Start();
    midi.failingDevices = {"Keys In"};
    form->SelectByProgram(ui().inputList, 1);
    ASSERT_EQ(midi.OpenedInput(), "");
    midi.failingDevices.clear();
    Forget();
    form->SelectByProgram(ui().inputList, 1);
    EXPECT_EQ(midi.Events(), (std::vector<Event>{{"in.open", "Keys In"}}));
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_TRUE(midi.Inject(0x90, 60, 100));
    Pump();
    EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{kLocalControlOff, {0x90, 60, 100}}));
}

// A note held while the output changes can only be ended where it started: its note-off
// goes to the old output before that closes, for another device and for "Not Enabled".
TEST_F(PortsTest, OutputChangeEndsHeldNotesOnTheOldOutput) {
    midi.outputs = {"Synth Out", "Other Synth"};
    TimelineMidiSystem timeline(midi);
    form = std::make_unique<MainWindow>(timeline, boxes);
    form->Start();
    form->show();
    for (const int position : {3, 0}) {
        SCOPED_TRACE(position);
        ASSERT_TRUE(midi.Inject(0x90, 60, 100));
        Pump();
        timeline.ClearLog();
        PickFromList(ui().outputList, position);
        const std::vector<std::string> log = timeline.Log();
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[0], "send 80 3C 40 ");
        EXPECT_EQ(log[1], "send B0 40 00 "); // the pedal lifted where the note went
        EXPECT_EQ(log[2], "send B0 7B 00 ");
        EXPECT_EQ(log[3], "out.close");
        // The note is forgotten: Notes OFF, with an output open again, ends nothing more.
        if (position == 0)
            PickFromList(ui().outputList, 1);
        midi.ClearSent();
        QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);
        EXPECT_EQ(midi.Sent(), NothingLeftToEnd()) << Hex(midi.Sent());
        if (position == 0)
            continue;
        EXPECT_EQ(midi.OpenedOutput(), "Other Synth");
        // The keyboard's own note-off now goes to the new output, which sounds nothing.
        ASSERT_TRUE(midi.Inject(0x80, 60, 0));
        Pump();
    }
    form.reset(); // before the timeline it logs into
}

// Notes OFF keeps the keyboard focus where it was: disabling the focused button must not
// hand it to the transposition list, where the next arrow key would transpose.
TEST_F(PortsTest, NotesOffKeepsTheFocus) {
    Start();
    QApplication::setActiveWindow(form.get());
    QTest::mouseClick(ui().notesOffButton, Qt::LeftButton);
    EXPECT_EQ(QApplication::focusWidget(), ui().notesOffButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    EXPECT_EQ(form->session().transposition(), 0);
}

// Devices come and go while the window runs: a device plugged in shows in its list; the
// chosen one, unplugged, stays the selection with its missing mark and its port closed, and
// is reopened by name once it returns, with Local Control Off sent again; after "Not
// Enabled" nothing is followed. The window looks by itself, on its own timer.
struct FollowRow {
    const char* what;
    bool input;
    std::string chosen;
    std::string plugged; // a device that arrives after startup
};

TEST_F(PortsTest, DevicesThatComeAndGoAreFollowedByName) {
    const FollowRow rows[] = {
        {"input", true, "Keys In", "New Keys"},
        {"output", false, "Synth Out", "New Synth"},
    };
    // Generous: the window looks every 250 ms, but a loaded machine may be slow.
    const auto soon = [](const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); };
    for (const FollowRow& r : rows) {
        SCOPED_TRACE(r.what);
        Start();
        PickList* list = r.input ? ui().inputList : ui().outputList;
        QLabel* mark = r.input ? ui().inputMissingMark : ui().outputMissingMark;
        QLabel* otherMark = r.input ? ui().outputMissingMark : ui().inputMissingMark;
        std::vector<std::string>& present = r.input ? midi.inputs : midi.outputs;
        const auto opened = [&] { return r.input ? midi.OpenedInput() : midi.OpenedOutput(); };
        const std::string kind = r.input ? "in." : "out.";
        const QString chosen = QString::fromStdString(r.chosen);
        ASSERT_EQ(opened(), r.chosen);
        ASSERT_TRUE(mark->isHidden());

        // Plugged in while the user has the list open: shown once it closes, not under the hand.
        list->showPopup();
        present.push_back(r.plugged);
        form->session().LookAtDevices();
        QTest::keyClick(list->view(), Qt::Key_Escape);
        ASSERT_FALSE(list->view()->isVisible());
        EXPECT_TRUE(soon([&] { return list->findText(QString::fromStdString(r.plugged)) >= 0; }));
        EXPECT_EQ(list->currentText(), chosen);

        Forget();
        midi.Unplug(r.chosen);
        EXPECT_TRUE(soon([&] { return !mark->isHidden(); }));
        EXPECT_EQ(list->currentText(), chosen);
        EXPECT_EQ(opened(), "");
        EXPECT_EQ(midi.Events(), (std::vector<Event>{{kind + "close", r.chosen}}));
        EXPECT_TRUE(otherMark->isHidden());

        Forget();
        present.push_back(r.chosen);
        EXPECT_TRUE(soon([&] { return opened() == r.chosen; }));
        EXPECT_TRUE(soon([&] { return mark->isHidden(); }));
        EXPECT_EQ(list->currentText(), chosen);
        EXPECT_EQ(midi.Events(), (std::vector<Event>{{kind + "open", r.chosen}}));
        EXPECT_EQ(midi.Sent(), std::vector<Bytes>{kLocalControlOff}) << Hex(midi.Sent());
        midi.ClearSent();
        ASSERT_TRUE(midi.Inject(0x90, 60, 100));
        EXPECT_EQ(midi.Sent(), (std::vector<Bytes>{{0x90, 60, 100}})) << "plays again";

        // Not Enabled: the device is let go, also when it comes and goes.
        PickFromList(list, 0);
        Forget();
        midi.Unplug(r.chosen);
        form->session().LookAtDevices();
        present.push_back(r.chosen);
        form->session().LookAtDevices();
        EXPECT_TRUE(midi.Events().empty());
        EXPECT_EQ(opened(), "");
        EXPECT_EQ(list->currentText(), "Not Enabled");
        EXPECT_TRUE(mark->isHidden());
        form.reset();
        midi.inputs = {"Keys In"};
        midi.outputs = {"Synth Out"};
    }
}

TEST_F(PortsTest, ShutdownClosesOutputThenInputAndSendsNothing) {
    Start();
    Forget();
    form->Stop();
    EXPECT_EQ(midi.Events(),
              (std::vector<Event>{{"out.close", "Synth Out"}, {"in.close", "Keys In"}}));
    EXPECT_TRUE(midi.Sent().empty());
    form.reset(); // runs nothing a second time
    EXPECT_EQ(midi.Events().size(), 2u);
}

} // namespace
} // namespace velomire::testing
