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

    // What a stop sent of the note-offs that end the sounding notes.
    struct StopReport {
        int released = 0; // notes that were sounding
        int left = 0;     // note-offs that reached the MIDI system
        bool outputOpen = false;
    };
    // Ends every sounding note, then sends Sustain off and All Notes Off where a note or
    // the pedal went (MessagePath::SendPedalAndAllNotesOff), then closes the output and
    // the input, in that order. Bounded in time whatever the MIDI system does (see
    // JackClient::CloseOutput). A second call finds nothing to end.
    StopReport Shutdown();

    // Messages lost on the way, counted since the engine was made.
    struct Losses {
        std::uint64_t inputFull = 0;       // short messages: the input queue was full
        std::uint64_t sysexNoRoom = 0;     // whole SysEx: too long, or no room to wait
        std::uint64_t sysexIncomplete = 0; // SysEx broken off by the device
        std::uint64_t outputFull = 0;      // the output's queue was full
        bool Any() const { return inputFull + sysexNoRoom + sysexIncomplete + outputFull > 0; }
    };
    Losses CountLosses() const;
    // "3 SysEx messages dropped (too long or no room to wait)", ...; empty for none.
    static QString Describe(const Losses& losses);

Q_SIGNALS:
    // The first loss, once per engine, as one line of text; also written to stderr.
    void MessagesLost(const QString& what);

private:
    void MessageReceived();
    void ReportLosses();

    MidiSystem& system_;
    bool lossReported_ = false;
};

// Device names are matched with spaces trimmed at both ends, case-sensitively.
QString TrimSpaces(const QString& s);
bool DeviceNameMatches(const QString& listEntry, const DeviceNameField& stored);

} // namespace velomire
