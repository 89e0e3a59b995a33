#pragma once

#include "core/midi/rtmidi_backend.h"

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
    // Qt's options that decide whether a window can be shown at all; QApplication reads
    // them (and Qt's other options) again from the same arguments.
    QString platform;           // -platform; empty: QT_QPA_PLATFORM or Qt's default
    QString platformPluginPath; // -platformpluginpath
    QString display;            // -display, for X11
    QString error;              // non-empty: the arguments are wrong
};

// Reads the whole command line (arguments[0] is the program) before any Qt application
// object exists: Velomire's own options and Qt's, which are accepted in every mode and
// ignored without a window. An unknown option, an option without its value or with an
// empty one, and an unknown MIDI system set `error`.
CommandLine ParseCommandLine(const QStringList& arguments);

// The per-user data folder: $XDG_DATA_HOME/velomire when XDG_DATA_HOME is an absolute path,
// else $HOME/.local/share/velomire when HOME is one; empty when neither is, never a folder
// at the root or relative to the working directory.
QString DataFolder(const QString& xdgDataHome, const QString& home);

// Makes DataFolder() of this environment the working directory, creating it when missing,
// so settings land somewhere writable. False with a one-line reason on failure.
bool EnterDataFolder(QString* error);

QString UsageText();
QString VersionText();

} // namespace velomire
