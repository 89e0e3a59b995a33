#pragma once

#include "midi/message_path.h"
#include "midi/midi_ports.h"
#include "midi/port_selection.h"
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

    MIDIInput MIDIInput1;
    MIDIOutput MIDIOutput1;
    MessagePath path;

    MidiSystem& system() { return system_; }

    // Closes the output, then the input; sends nothing.
    void Shutdown();

private:
    void MessageReceived();

    MidiSystem& system_;
};

} // namespace velomire
