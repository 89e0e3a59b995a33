#include "midi/engine.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace velomire {

Engine::Engine(MidiSystem& system, QObject* parent)
    : QObject(parent), MIDIOutput1(system), MIDIInput1(system, this), path(notes, ChannelMap),
      system_(system) {
    connect(&MIDIInput1, &MIDIInput::MessageReceived, this, &Engine::MessageReceived);
}

Engine::~Engine() {
    Shutdown();
}

Engine::StopReport Engine::Shutdown() {
    StopReport report;
    report.outputOpen = MIDIOutput1.State() != 0;
    const MIDIOutput::Mark before = MIDIOutput1.Position();
    report.released = path.ReleaseSounding(MIDIOutput1);
    const MIDIOutput::Mark afterNoteOffs = MIDIOutput1.Position();
    path.SendPedalAndAllNotesOff(MIDIOutput1);
    // The output first: it lets what was just sent leave before it goes.
    CloseMidiOut(MIDIOutput1);
    report.left = static_cast<int>(MIDIOutput1.DeliveredBetween(before, afterNoteOffs));
    CloseMidiIn(MIDIInput1);
    ReportLosses();
    return report;
}

Engine::Losses Engine::CountLosses() const {
    return {MIDIInput1.Dropped(), MIDIInput1.SysExDropped(), MIDIInput1.SysExIncomplete(),
            MIDIOutput1.Dropped()};
}

QString Engine::Describe(const Losses& l) {
    QStringList parts;
    auto add = [&](std::uint64_t n, const char* what) {
        if (n > 0)
            parts << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(what));
    };
    add(l.inputFull, "messages dropped (the input queue was full)");
    add(l.sysexNoRoom, "SysEx messages dropped (too long, or no room left to wait)");
    add(l.sysexIncomplete, "incomplete SysEx messages dropped");
    add(l.outputFull, "messages dropped (the output queue was full)");
    return parts.join(QStringLiteral(", "));
}

// Said once, at the first loss: a flood repeats it thousands of times a second.
void Engine::ReportLosses() {
    if (lossReported_)
        return;
    const Losses losses = CountLosses();
    if (!losses.Any())
        return;
    lossReported_ = true;
    const QString line = QStringLiteral("MIDI data lost: %1").arg(Describe(losses));
    std::fprintf(stderr, "velomire: %s\n", qPrintable(line));
    std::fflush(stderr);
    Q_EMIT MessagesLost(line);
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
    ReportLosses();
}

} // namespace velomire
