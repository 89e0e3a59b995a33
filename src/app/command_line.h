#pragma once

#include "midi/rtmidi_backend.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace velomire {

struct CommandLine {
    MidiApiChoice midiApi = MidiApiChoice::Auto;
    QString headless; // setting to run without a window; empty: the window
    bool help = false;
    bool version = false;
    QString error; // non-empty: the arguments are wrong
};

// Reads Velomire's own options; arguments it does not know are left to Qt, which has
// already taken its own (-platform, -style, ...) when a QApplication exists.
CommandLine ParseCommandLine(const QStringList& arguments);

QString UsageText();
QString VersionText();

} // namespace velomire
