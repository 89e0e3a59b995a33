#include "midi/engine.h"

#include <algorithm>

namespace velomire {

Engine::Engine(MidiSystem& system, QObject* parent)
    : QObject(parent), MIDIOutput1(system), MIDIInput1(system, this), path(notes, ChannelMap),
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

SettingsData Engine::CaptureSettings(const DeviceNameField& indevice,
                                     const DeviceNameField& outdevice) const {
    SettingsData d;
    d.indevice = indevice;
    d.outdevice = outdevice;
    d.activenote = activenote;
    std::copy_n(ChannelMap.begin(), d.channels.size(), d.channels.begin());
    std::copy_n(notes.begin(), d.notes.size(), d.notes.begin());
    return d;
}

void Engine::ApplySettings(const SettingsData& data) {
    activenote = data.activenote;
    std::copy(data.channels.begin(), data.channels.end(), ChannelMap.begin());
    std::copy(data.notes.begin(), data.notes.end(), notes.begin());
}

QString TrimSpaces(const QString& s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.mid(b, e - b);
}

bool DeviceNameMatches(const QString& listEntry, const DeviceNameField& stored) {
    return TrimSpaces(listEntry) == TrimSpaces(DecodeDeviceName(stored));
}

void Engine::MessageReceived() {
    path.Drain(MIDIInput1, MIDIOutput1);
}

} // namespace velomire
