#pragma once

#include "midi/message_path.h"
#include "midi/midi_ports.h"
#include "midi/port_selection.h"
#include "settings/settings_codec.h"
#include "velocity/note_table.h"

#include <QObject>

namespace velomire {

// Everything that plays: the tables, the two ports and the path between them. The
// window and the headless runner each own one and add only their own controls.
class Engine final : public QObject {
    Q_OBJECT
public:
    explicit Engine(MidiSystem& system, QObject* parent = nullptr);
    ~Engine() override;

    NoteTable notes{};
    ChannelTable ChannelMap{};
    std::uint8_t activenote = 0;

    // The output is made first: on JACK its client then gets the plain name, so the
    // virtual port others connect to is "Velomire:Velomire Out".
    MIDIOutput MIDIOutput1;
    MIDIInput MIDIInput1;
    MessagePath path;

    MidiSystem& system() { return system_; }

    // The stored part of a setting: active note, channels 0..15, note entries 0..127.
    SettingsData CaptureSettings(const DeviceNameField& indevice,
                                 const DeviceNameField& outdevice) const;
    // Replaces the same fields; entry 128, ChannelMap entry 16 and the device lists stay.
    void ApplySettings(const SettingsData& data);

    // Closes the output, then the input; sends nothing.
    void Shutdown();

private:
    void MessageReceived();

    MidiSystem& system_;
};

// Device names are matched with spaces trimmed at both ends, case-sensitively.
QString TrimSpaces(const QString& s);
bool DeviceNameMatches(const QString& listEntry, const DeviceNameField& stored);

} // namespace velomire
