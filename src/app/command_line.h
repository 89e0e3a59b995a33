#pragma once

#include "midi/rtmidi_backend.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace velomire {

struct CommandLine {
    MidiApiChoice midiApi = MidiApiChoice::Auto;
    QString headless;           // setting to run without a window; empty: the window
    bool useDataFolder = false; // work in the per-user data folder (desktop entry)
    bool help = false;
    bool version = false;
    QString error; // non-empty: the arguments are wrong
};

// Reads Velomire's own options; arguments it does not know are left to Qt, which has
// already taken its own (-platform, -style, ...) when a QApplication exists.
CommandLine ParseCommandLine(const QStringList& arguments);

// Makes the per-user data folder ($XDG_DATA_HOME/velomire) the working directory, creating
// it when missing, so settings land somewhere writable. False with a reason on failure.
bool EnterDataFolder(QString* error);

QString UsageText();
QString VersionText();

} // namespace velomire
