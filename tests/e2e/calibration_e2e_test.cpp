// A whole calibration run through JACK: a simulated uneven keyboard with one dead key plays
// both passes into the window, the calibration window collects them and is applied, and the
// same keyboard played again leaves the output even; the dead key is named and set aside,
// and does not pull the others down to its level.

#include "core/midi/rtmidi_backend.h"
#include "e2e/jack_harness.h"
#include "ui/calibration_window.h"
#include "ui/main_window.h"
#include "ui/widgets/message_box.h"
#include "ui_main_window.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>

namespace velomire::e2e {
namespace {

void PumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

class QuietBoxes final : public MessageBoxes {
public:
    void Inform(const QString&, const QString&) override {}
    bool AskYesNo(const QString&, const QString&) override { return false; }
};

constexpr int kDeadKey = 50;

// Key k answers touch t with 127 a_k t^g_k, a and g uneven from key to key; the dead key
// reaches a fifth of the others.
struct UnevenKeyboard {
    std::array<double, kKeyCount> gain{};
    std::array<double, kKeyCount> shape{};
    explicit UnevenKeyboard(unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> spread(0.8, 1.2);
        for (int i = 0; i < kKeyCount; ++i) {
            gain[static_cast<std::size_t>(i)] = spread(random);
            shape[static_cast<std::size_t>(i)] = spread(random);
        }
        gain[kDeadKey - kLowestKey] = 0.2;
    }
    int Raw(int note, double touch, double noise = 0.0) const {
        const auto i = static_cast<std::size_t>(note - kLowestKey);
        const double v = 127.0 * gain[i] * std::pow(touch, shape[i]) + noise;
        return std::clamp(static_cast<int>(std::lround(v)), 1, 127);
    }
};

TEST(Calibration, PlayingBothPassesEvensTheKeyboardOut) {
    JackServer server;
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    JackPeer peer("calib-keys");
    ASSERT_TRUE(peer.Open(error)) << error;
    MidiSystemChoice midi = ChooseMidiSystem(MidiApiChoice::Jack);
    ASSERT_TRUE(midi.available) << midi.status;

    QTemporaryDir folder; // no Default here
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    QuietBoxes boxes;
    auto window = std::make_unique<MainWindow>(*midi.system, boxes);
    window->Start();
    window->show();
    QDir::setCurrent(previous);
    ASSERT_EQ(peer.Connections(peer.OutPortName()).size(), 1u) << "the input took the peer";

    QTest::mouseClick(window->ui().calibrateButton, Qt::LeftButton);
    auto* calibration = window->findChild<CalibrationWindow*>();
    ASSERT_NE(calibration, nullptr);

    // Plays each key at a touch, five times, and waits until the window has seen them all.
    const UnevenKeyboard keys(7);
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, 2.5);
    const auto playPass = [&](double touch) {
        for (int strike = 0; strike < 5; ++strike) {
            const std::size_t before = peer.ReceivedCount();
            for (int n = kLowestKey; n <= kHighestKey; ++n) {
                const auto note = static_cast<std::uint8_t>(n);
                ASSERT_TRUE(peer.Send(
                    {0x90, note, static_cast<std::uint8_t>(keys.Raw(n, touch, noise(random)))}));
                ASSERT_TRUE(peer.Send({0x80, note, 0}));
            }
            ASSERT_TRUE(peer.WaitForReceived(before + 2 * kKeyCount, std::chrono::seconds(10),
                                             &PumpEvents));
            // The window's readouts: JACK's waker passes them on within milliseconds.
            const Pass pass = calibration->pass();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (calibration->run().StrikeCount(kHighestKey, pass) < strike + 1 &&
                   std::chrono::steady_clock::now() < deadline) {
                PumpEvents();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    };
    ASSERT_NO_FATAL_FAILURE(playPass(0.35));
    QTest::mouseClick(calibration->firmButton(), Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(playPass(0.8));
    for (int n = kLowestKey; n <= kHighestKey; ++n)
        ASSERT_TRUE(calibration->run().TakesPart(n)) << n;

    QTest::mouseClick(calibration->fitButton(), Qt::LeftButton);
    ASSERT_TRUE(calibration->result().has_value());
    const CalibrationResult result = *calibration->result();
    ASSERT_EQ(result.error, CalibrationError::None);
    EXPECT_EQ(result.Key(kDeadKey).status, KeyStatus::SetAside);
    EXPECT_EQ(result.SetAsideKeys(), std::vector<int>{kDeadKey});
    // The level holds: three quarters of the keyboard's firm level at least (the weakest
    // healthy key sets it), far from the dead key's fifth.
    EXPECT_GT(result.levelAfter[1], 0.75 * result.levelBefore[1]);
    QTest::mouseClick(calibration->applyButton(), Qt::LeftButton);
    PumpEvents();

    // The same keyboard again, without noise: what leaves is even within a few steps.
    for (const auto& [touch, target] :
         {std::pair{0.35, result.target[0]}, std::pair{0.8, result.target[1]}}) {
        SCOPED_TRACE(touch);
        const std::size_t before = peer.ReceivedCount();
        for (int n = kLowestKey; n <= kHighestKey; ++n)
            ASSERT_TRUE(peer.Send({0x90, static_cast<std::uint8_t>(n),
                                   static_cast<std::uint8_t>(keys.Raw(n, touch))}));
        ASSERT_TRUE(
            peer.WaitForReceived(before + kKeyCount, std::chrono::seconds(10), &PumpEvents));
        std::vector<double> deviation;
        for (const Bytes& m : peer.ReceivedMessages(before))
            if (m.at(1) != kDeadKey) // it kept its curve
                deviation.push_back(std::abs(m.at(2) - target));
        std::sort(deviation.begin(), deviation.end());
        const double p95 = deviation.at(deviation.size() * 95 / 100);
        EXPECT_LE(p95, 3.0) << "95th percentile of |sent - target|";
    }
    window.reset();
}

} // namespace
} // namespace velomire::e2e
