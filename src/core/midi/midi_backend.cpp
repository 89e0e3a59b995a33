#include "core/midi/midi_backend.h"

#include "core/midi/realtime_engine.h"

#include <cstring>

namespace velomire {

void NoMidiSystem::Kick() {
    struct Nowhere final : MidiSender {
        bool Send(std::span<const std::uint8_t>, std::uint32_t) override { return true; }
    } nowhere;
    if (RealtimeEngine* engine = engine_.load())
        engine->Pump(nowhere);
}

bool IsOwnPort(const std::string& deviceName) {
    // ALSA lists "Velomire:Velomire Out 128:0", JACK "Velomire:Velomire Out"; a second
    // instance gets a suffixed client name such as "Velomire-01".
    const std::size_t n = std::strlen(kClientName);
    if (deviceName.compare(0, n, kClientName) != 0)
        return false;
    return deviceName.size() > n && (deviceName[n] == ':' || deviceName[n] == '-');
}

int ShortMessageLength(std::uint8_t status) {
    if (status < 0x80)
        return 0;
    if (status < 0xF0) {
        const std::uint8_t kind = status & 0xF0;
        return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
    }
    switch (status) {
    case 0xF0: // SysEx travels whole on its own path
    case 0xF7:
        return 0;
    case 0xF1: // time code quarter frame
    case 0xF3: // song select
        return 2;
    case 0xF2: // song position
        return 3;
    default: // tune request, real-time messages, System Reset, undefined system bytes
        return 1;
    }
}

} // namespace velomire
