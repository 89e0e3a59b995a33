#pragma once

#include "session/session.h"
#include "session/stage_lock.h"

#include <QObject>

#include <cstdio>
#include <optional>

namespace velomire {

// Runs a saved setting with no window: the same session, loader and safety rules as the
// window, its devices followed by stored name, also across a restart of the MIDI system.
class HeadlessRunner final : public QObject {
    Q_OBJECT
public:
    HeadlessRunner(MidiSystem& midi, QString name, std::FILE* out = stdout, std::FILE* err = stderr,
                   QObject* parent = nullptr);
    ~HeadlessRunner() override;

    // Loads the setting into the session. Returns 0, or the exit status when the setting
    // is missing, unsafe or not a settings file, or another stage box already plays it.
    int Load();
    // Opens what is present and keeps following the devices.
    void Run();
    // Ends every sounding note and lifts the pedal (Session::Shutdown), closes the output,
    // then the input, and says what really left. Runs once.
    void Stop();

    Session& session() { return session_; }

    static constexpr int kPollMilliseconds = 250;

private:
    // Every line goes through PrintableText whole: names come from devices and files.
    void Say(const QString& line);
    void Complain(const QString& line);

    Session session_;
    QString name_;
    std::FILE* out_;
    std::FILE* err_;
    std::optional<StageLock> lock_;
    bool started_ = false;
    bool stopped_ = false;
};

// `text` with everything that could steer a terminal or start a forged line written as an
// escape: C0 controls and DEL as \xHH (\n, \r and \t by name), C1 controls, the line and
// paragraph separators and the bidirectional controls as \uHHHH. A backslash is doubled,
// so an escape in the output always stands for the character.
QString PrintableText(const QString& text);

} // namespace velomire
