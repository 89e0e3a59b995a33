// The session's edits with no window: what each changes, and how they make undo steps.

#include "session/session.h"

#include <gtest/gtest.h>

#include <functional>

namespace velomire {
namespace {

class SessionEdit : public ::testing::Test {
protected:
    SessionEdit() {
        SessionState s = Session::FreshState();
        s.notes[60] = {60, kFalse, 2.0, 10, 100}; // the active key's own curve
        s.notes[64].selected = kTrue;
        s.notes[64].exp = 0.5;
        s.notes[72].selected = kTrue;
        s.notes[72].exp = 3.0;
        session.Start(s);
    }
    NoMidiSystem midi;
    Session session{midi};
};

// Each bulk edit: what it leaves on three keys, as one step that undo and redo take whole.
TEST_F(SessionEdit, EachBulkEditIsOneStep) {
    struct Row {
        const char* what;
        std::function<void(Session&)> edit;
        double exp60, exp72;
        std::function<bool(double)> exp68; // a key between the selected ones
        std::int16_t selected64;
    };
    const auto is = [](double v) { return [v](double e) { return e == v; }; };
    const Row rows[] = {
        {"copy to all", [](Session& s) { s.CopyToAll(); }, 2.0, 2.0, is(2.0), kTrue},
        {"spread blends between the selected keys", [](Session& s) { s.Spread(); }, 2.0, 3.0,
         [](double e) { return e > 0.5 && e < 3.0 && e != 1.0; }, kTrue},
        {"reset active", [](Session& s) { s.ResetActive(); }, 1.0, 3.0, is(1.0), kTrue},
        {"reset all keeps the selection", [](Session& s) { s.ResetAll(); }, 1.0, 1.0, is(1.0),
         kTrue},
        {"unselect all", [](Session& s) { s.ClearSelection(); }, 2.0, 3.0, is(1.0), kFalse},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const SessionState before = session.State();
        r.edit(session);
        const SessionState after = session.State();
        EXPECT_DOUBLE_EQ(after.notes[60].exp, r.exp60);
        EXPECT_TRUE(r.exp68(after.notes[68].exp)) << after.notes[68].exp;
        EXPECT_DOUBLE_EQ(after.notes[72].exp, r.exp72);
        EXPECT_EQ(after.notes[64].selected, r.selected64);
        EXPECT_EQ(session.UndoDepth(), 1);
        session.Undo();
        EXPECT_EQ(session.State(), before);
        session.Redo();
        EXPECT_EQ(session.State(), after);
        session.Start(before);
    }
}

// A drag or a scroll-bar press is one step however many edits it makes; one that comes back
// to where it began leaves none; another gesture, or none, is a step of its own.
TEST_F(SessionEdit, AGestureIsOneStep) {
    const int drag = session.NewGesture();
    for (int vcut : {20, 30, 40})
        session.SetCutOff(vcut, drag);
    EXPECT_EQ(session.UndoDepth(), 1);
    const int back = session.NewGesture();
    session.SetMaximum(90, back);
    session.SetMaximum(100, back);
    EXPECT_EQ(session.UndoDepth(), 1) << "a gesture that ends where it began is no step";
    session.SetMaximum(80);
    session.SetMaximum(70);
    EXPECT_EQ(session.UndoDepth(), 3);
    session.Undo();
    session.Undo();
    EXPECT_EQ(session.active().vmax, 100);
    EXPECT_EQ(session.active().vcut, 40);
    session.Undo();
    EXPECT_EQ(session.active().vcut, 10);
}

} // namespace
} // namespace velomire
