#pragma once

#include "ui/main_window.h"
#include "support/fake_midi_system.h"
#include "support/test_helpers.h"
#include "ui_main_window.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <ostream>

// Readable failure output for Qt values (found by argument-dependent lookup).
inline void PrintTo(const QColor& c, std::ostream* os) {
    *os << '(' << c.red() << ", " << c.green() << ", " << c.blue() << ", " << c.alpha() << ')';
}
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace velomire::testing {

// What Notes OFF sends when no note is sounding: System Reset, then the pedal tail.
inline std::vector<std::vector<std::uint8_t>> NothingLeftToEnd() {
    std::vector<std::vector<std::uint8_t>> sent{{0xFF}};
    for (const auto& m : PedalAndAllNotesOff())
        sent.push_back(m);
    return sent;
}

// Message boxes answered by the test: records every box, answers Yes/No from a script.
class ScriptedBoxes final : public MessageBoxes {
public:
    struct Shown {
        QString title;
        QString text;
        bool question;
    };
    std::vector<Shown> shown;
    std::deque<bool> answers;           // for AskYesNo; empty: No
    std::vector<QString> unsavedAsked;  // texts of the Save / Discard / Cancel questions
    std::deque<Unsaved> unsavedAnswers; // for AskUnsaved; empty: Discard

    void Inform(const QString& title, const QString& text) override {
        shown.push_back({title, text, false});
    }
    bool AskYesNo(const QString& title, const QString& text) override {
        shown.push_back({title, text, true});
        if (answers.empty())
            return false;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    Unsaved AskUnsaved(const QString&, const QString& text) override {
        unsavedAsked.push_back(text);
        if (unsavedAnswers.empty())
            return Unsaved::Discard;
        const Unsaved a = unsavedAnswers.front();
        unsavedAnswers.pop_front();
        return a;
    }
};

// A window on the in-memory MIDI system, in a temporary working directory.
class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        oldCwd_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        midi.inputs = {"Keys In"};
        midi.outputs = {"Synth Out"};
    }
    void TearDown() override {
        form.reset();
        QDir::setCurrent(oldCwd_);
    }
    // Creates the window, runs its startup and shows it, as the program does; startup's
    // message boxes come once it is drawn.
    MainWindow& Start() {
        form = std::make_unique<MainWindow>(midi, boxes);
        form->Start();
        form->show();
        Pump();
        return *form;
    }
    Ui::MainWindow& ui() { return form->ui(); }
    // Puts a state into the session as a loaded file would, not as an edit.
    template <typename Change> void Seed(Change change) {
        SessionState s = form->session().State();
        change(s);
        form->session().Start(s);
    }
    QString WorkDir() const { return dir_.path(); }
    // The user opens the list and clicks an entry (with Return: presses it on the entry).
    static void PickFromList(QComboBox* list, int index, bool byReturn = false) {
        ASSERT_GE(index, 0);
        list->showPopup();
        QAbstractItemView* view = list->view();
        const QModelIndex entry = view->model()->index(index, list->modelColumn());
        view->setCurrentIndex(entry);
        if (byReturn) {
            QTest::keyClick(view, Qt::Key_Return);
        } else {
            const QPoint at(view->viewport()->width() / 2, view->visualRect(entry).center().y());
            QTest::mouseMove(view->viewport(), at);
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        }
        Pump();
    }
    // Lets what the MIDI side tells the window (key lighting) and queued calls arrive.
    static void Pump() {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }

    FakeMidiSystem midi;
    ScriptedBoxes boxes;
    std::unique_ptr<MainWindow> form;

private:
    QTemporaryDir dir_;
    QString oldCwd_;
};

} // namespace velomire::testing
