#pragma once

#include "midi/engine.h"

#include <QObject>
#include <QTimer>

#include <cstdio>

namespace velomire {

// Runs a saved setting with no window: the same engine, loader and safety rules as the
// window, devices opened by stored name and reopened whenever they come back.
class HeadlessRunner final : public QObject {
    Q_OBJECT
public:
    HeadlessRunner(MidiSystem& midi, QString name, std::FILE* out = stdout, std::FILE* err = stderr,
                   QObject* parent = nullptr);
    ~HeadlessRunner() override;

    // Loads the setting into the engine. Returns 0, or the exit status when the setting
    // is missing, unsafe or not a settings file.
    int Load();
    // Opens what is present and keeps following the devices.
    void Run();
    // Ends every sounding note and lifts the pedal (Engine::Shutdown), closes the output,
    // then the input, and says what really left. Runs once.
    void Stop();

    // Looks for the stored devices; normally called by a timer.
    void Poll();

    Engine& engine() { return engine_; }

    static constexpr int kPollMilliseconds = 250;

private:
    void PollInput();
    void PollOutput();
    // Every line goes through PrintableText whole: names come from devices and files.
    void Say(const QString& line);
    void Complain(const QString& line);

    Engine engine_;
    QString name_;
    std::FILE* out_;
    std::FILE* err_;
    QTimer poll_;
    DeviceNameField indevice_{};
    DeviceNameField outdevice_{};
    bool inWaiting_ = false;  // said that the input is missing
    bool outWaiting_ = false; // said that the output is missing
    bool started_ = false;
    bool stopped_ = false;
};

// `text` with everything that could steer a terminal or start a forged line written as an
// escape: C0 controls and DEL as \xHH (\n, \r and \t by name), C1 controls, the line and
// paragraph separators and the bidirectional controls as \uHHHH. A backslash is doubled,
// so an escape in the output always stands for the character.
QString PrintableText(const QString& text);

} // namespace velomire
