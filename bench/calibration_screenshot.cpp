// Draws the calibration window's result chart for the README: an uneven keyboard (the
// calibration bench's model) plays both passes through the in-memory MIDI system, the fit
// runs, and the window is saved as a PNG. Usage: velomire_calibration_screenshot OUT.png
#include "ui/calibration_window.h"
#include "support/fake_midi_system.h"

#include <QApplication>
#include <QPushButton>

#include <cmath>
#include <cstdio>
#include <random>

using namespace velomire;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeMidiSystem midi;
    midi.inputs = {"Keys"};
    midi.outputs = {"Synth"};
    Session session(midi);
    SessionState start;
    TransposeOutnotes(start.notes, 0);
    RemapChannels(start.channels, false);
    for (int n = kLowestKey; n <= kHighestKey; ++n)
        SetKeyStartupValues(start.notes[static_cast<std::size_t>(n)], n);
    session.Start(start);
    session.ChooseOutput("Synth");
    session.ChooseInput("Keys");

    CalibrationWindow window(session);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.show();
    std::mt19937 random(3);
    std::uniform_real_distribution<double> spread(0.8, 1.2);
    std::normal_distribution<double> noise(0.0, 2.5);
    std::array<std::pair<double, double>, kKeyCount> keys{};
    for (auto& k : keys)
        k = {spread(random), spread(random)};
    for (const double touch : {0.35, 0.8}) {
        if (touch > 0.5)
            window.firmButton()->click();
        for (int strike = 0; strike < 5; ++strike)
            for (int n = kLowestKey; n <= kHighestKey; ++n) {
                const auto [a, g] = keys[static_cast<std::size_t>(n - kLowestKey)];
                const double v = 127.0 * a * std::pow(touch, g) + noise(random);
                const auto raw = static_cast<std::uint8_t>(std::clamp(std::lround(v), 1L, 127L));
                midi.Inject(0x90, static_cast<std::uint8_t>(n), raw);
                midi.Inject(0x80, static_cast<std::uint8_t>(n), 0);
                QApplication::processEvents();
            }
    }
    window.fitButton()->click();
    QApplication::processEvents();
    return window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
