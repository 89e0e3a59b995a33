// Measuring runs through a private JACK server: Velomire plays a test synth of known levels
// through its MIDI path and listens to its audio on Velomire's own JACK client.

#include "core/midi/rtmidi_backend.h"
#include "e2e/jack_harness.h"
#include "e2e/test_synth.h"
#include "session/listening.h"
#include "session/session.h"
#include "ui/listen_window.h"
#include "ui/main_window.h"
#include "ui/widgets/message_box.h"
#include "ui_main_window.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace velomire::e2e {
namespace {

// Per-key levels in dB, uneven as a sampled piano's can be; the loudest stays well below
// full scale at velocity 127.
constexpr double kLevelsDb[12] = {0, -3, -6, 2, -1, -9, -4, 1, -2, -7, -5, 3};
constexpr double kBaseGain = 0.3;
constexpr int kLow = 60;

class ListeningRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        for (int i = 0; i < 12; ++i)
            synth_.SetGain(kLow + i, kBaseGain * std::pow(10.0, kLevelsDb[i] / 20.0));
        ASSERT_TRUE(synth_.Open(error)) << error;
        ASSERT_TRUE(keys_.Open(error)) << error;
        midi_ = ChooseMidiSystem(MidiApiChoice::Jack);
        ASSERT_TRUE(midi_.available) << midi_.status;
        session_ = std::make_unique<Session>(*midi_.system, SettingsStore(folder_.path()));
        ASSERT_TRUE(session_->ChooseOutput(synth_.MidiInName()));
        ASSERT_TRUE(session_->ChooseInput(keys_.OutPortName()));
        Listening& l = session_->listening();
        ASSERT_EQ(l.OpenInput(), QString());
        ASSERT_TRUE(l.Connect(synth_.AudioOutName()));
        QObject::connect(&l, &Listening::Finished, [this](bool complete, const QString& said) {
            complete_ = complete;
            said_ = said;
        });
    }

    static MeasuringPlan Octave() {
        MeasuringPlan plan;
        plan.lowKey = kLow;
        plan.highKey = kLow + 11;
        plan.velocities = {64, 127};
        // Short enough for a test; still longer than the 400 ms window.
        plan.noteSeconds = 0.45;
        plan.releaseSeconds = 0.08;
        plan.quietSeconds = 0.2;
        return plan;
    }

    // Runs the event loop until `done` or the deadline.
    static bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    static std::vector<Bytes> NoteOns(const std::vector<Bytes>& messages) {
        std::vector<Bytes> ons;
        for (const Bytes& m : messages)
            if (m.size() == 3 && (m[0] & 0xF0) == 0x90 && m[2] > 0)
                ons.push_back(m);
        return ons;
    }

    JackServer server_;
    TestSynth synth_{"test-synth"};
    JackPeer keys_{"listen-keys"};
    MidiSystemChoice midi_;
    QTemporaryDir folder_;
    std::unique_ptr<Session> session_;
    std::optional<bool> complete_;
    QString said_;
};

TEST_F(ListeningRun, FindsEachKeysGainAndTheVelocityLawWhileTheKeyboardIsIgnored) {
    Listening& l = session_->listening();
    ASSERT_EQ(l.Start(Octave()), QString());
    bool played = false;
    ASSERT_TRUE(RunUntil(
        [&] {
            // The player strikes a key in the middle of the run: it must not sound.
            if (!played && l.Run()->NotesDone() == 3)
                played = keys_.Send({0x90, 40, 100});
            return complete_.has_value();
        },
        std::chrono::seconds(25)));
    ASSERT_TRUE(*complete_) << said_.toStdString();

    const LoudnessTable& table = l.Table();
    ASSERT_EQ(table.Velocities(), (std::vector<int>{64, 127}));
    for (int i = 0; i < 12; ++i) {
        for (int v = 0; v < 2; ++v) {
            const auto level = table.At(kLow + i, v);
            const auto reference = table.At(kLow, v);
            ASSERT_TRUE(level && reference) << "key " << kLow + i;
            EXPECT_NEAR(*level - *reference, kLevelsDb[i], 0.5) << "key " << kLow + i << " v " << v;
        }
        // Level goes as velocity squared: 40 log10(127 / 64) between the two.
        EXPECT_NEAR(*table.At(kLow + i, 1) - *table.At(kLow + i, 0),
                    40.0 * std::log10(127.0 / 64.0), 0.5)
            << "key " << kLow + i;
    }

    // The synth heard the level check's note, then each key at each velocity, in order,
    // nothing of the player's, and All Notes Off at the end.
    const std::vector<Bytes> heard = synth_.Received();
    std::vector<Bytes> expected{{0x90, 65, 127}};
    for (int k = kLow; k < kLow + 12; ++k)
        for (int v : {64, 127})
            expected.push_back({0x90, static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(v)});
    EXPECT_EQ(NoteOns(heard), expected);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), (Bytes{0xB0, 123, 0}));
}

TEST_F(ListeningRun, CancelEndsTheNoteKeepsWhatWasMeasuredAndGivesTheKeyboardBack) {
    Listening& l = session_->listening();
    ASSERT_EQ(l.Start(Octave()), QString());
    ASSERT_TRUE(RunUntil([&] { return l.Run()->NotesDone() == 2 && l.Run()->CurrentKey() >= 0; },
                         std::chrono::seconds(15)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // into the third note's sound
    l.Cancel();
    ASSERT_TRUE(complete_.has_value());
    EXPECT_FALSE(*complete_);
    EXPECT_EQ(l.Table().Keys(), (std::vector<int>{kLow}));
    EXPECT_TRUE(l.Table().At(kLow, 1).has_value());

    ASSERT_TRUE(keys_.Send({0x90, 50, 100}));
    ASSERT_TRUE(RunUntil(
        [&] {
            const auto ons = NoteOns(synth_.Received());
            return !ons.empty() && ons.back()[1] == 50;
        },
        std::chrono::seconds(5)))
        << "the player's keys play again";
    const std::vector<Bytes> heard = synth_.Received();
    // After the third strike (key 61 at 64): its note-off, then All Notes Off.
    const auto strike = std::find(heard.begin(), heard.end(), Bytes{0x90, 61, 64});
    ASSERT_NE(strike, heard.end());
    const auto off = std::find(strike, heard.end(), Bytes{0x80, 61, 64});
    ASSERT_NE(off, heard.end());
    EXPECT_NE(std::find(off, heard.end(), Bytes{0xB0, 123, 0}), heard.end());
}

class YesBoxes final : public MessageBoxes {
public:
    void Inform(const QString&, const QString& text) override { informed.push_back(text); }
    bool AskYesNo(const QString&, const QString& text) override {
        asked.push_back(text);
        return true;
    }
    std::vector<QString> informed;
    std::vector<QString> asked;
};

void PickFromList(QComboBox* list, const QString& entry) {
    const int index = list->findText(entry);
    ASSERT_GE(index, 0) << entry.toStdString();
    list->showPopup();
    QAbstractItemView* view = list->view();
    const QModelIndex at = view->model()->index(index, list->modelColumn());
    view->setCurrentIndex(at);
    QTest::keyClick(view, Qt::Key_Return);
}

// The window's controls, as the pianist uses them, with the product's own note lengths.
TEST(ListenWindowRun, PlaysFromTheWindowShowsTheResultAndSavesIt) {
    JackServer server;
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    TestSynth synth("window-synth");
    synth.SetGain(60, 0.4);
    synth.SetGain(61, 0.1);
    ASSERT_TRUE(synth.Open(error)) << error;
    MidiSystemChoice midi = ChooseMidiSystem(MidiApiChoice::Jack);
    ASSERT_TRUE(midi.available) << midi.status;
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    YesBoxes boxes;
    MainWindow window(*midi.system, boxes);
    window.Start();
    QDir::setCurrent(previous);
    ASSERT_TRUE(window.session().ChooseOutput(synth.MidiInName()));

    QTest::mouseClick(window.ui().listenButton, Qt::LeftButton);
    auto* listen = window.findChild<ListenWindow*>();
    ASSERT_NE(listen, nullptr);
    EXPECT_FALSE(listen->startButton()->isEnabled()) << "nothing to listen to yet";
    PickFromList(listen->sourceList(), QString::fromStdString(synth.AudioOutName()));
    PickFromList(listen->fromList(), QStringLiteral("C4"));
    PickFromList(listen->toList(), QStringLiteral("C#4"));
    listen->velocitiesEdit()->selectAll();
    QTest::keyClicks(listen->velocitiesEdit(), QStringLiteral("127"));
    ASSERT_TRUE(listen->startButton()->isEnabled()) << listen->status()->text().toStdString();
    QTest::mouseClick(listen->startButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.asked.size(), 1u) << "a warning before it plays";
    EXPECT_TRUE(boxes.asked[0].contains(QStringLiteral("2 notes"))) << boxes.asked[0].toStdString();
    EXPECT_TRUE(listen->cancelButton()->isEnabled());

    Listening& l = window.session().listening();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (l.Running() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(l.Running());
    EXPECT_TRUE(listen->result()->text().startsWith(QStringLiteral("Done: 2 notes")))
        << listen->result()->text().toStdString();
    EXPECT_NEAR(*l.Table().At(60, 0) - *l.Table().At(61, 0), 20 * std::log10(4.0), 0.5);
    ASSERT_TRUE(listen->saveButton()->isEnabled());

    const QString path = folder.filePath(QStringLiteral("heard.txt"));
    listen->SaveTableTo(path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto saved = LoudnessTable::FromText(file.readAll().toStdString());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->Keys(), (std::vector<int>{60, 61}));
    EXPECT_NEAR(*saved->At(61, 0), *l.Table().At(61, 0), 0.01);

    // Closing the window takes the port away.
    listen->close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(l.PortName().empty());
}

} // namespace
} // namespace velomire::e2e
