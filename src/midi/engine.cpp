#include "midi/engine.h"

namespace velomire {

Engine::Engine(MidiSystem& system, QObject* parent)
    : QObject(parent), MIDIInput1(system, this), MIDIOutput1(system), path(notes, ChannelMap),
      system_(system) {
    connect(&MIDIInput1, &MIDIInput::MessageReceived, this, &Engine::MessageReceived);
}

Engine::~Engine() {
    Shutdown();
}

void Engine::Shutdown() {
    CloseMidiOut(MIDIOutput1);
    CloseMidiIn(MIDIInput1);
}

void Engine::MessageReceived() {
    path.Drain(MIDIInput1, MIDIOutput1);
}

} // namespace velomire
