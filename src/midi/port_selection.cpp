#include "midi/port_selection.h"

namespace velomire {

namespace {
constexpr int kActiveSensingStatus = 254;
}

bool OpenMidiOut(MIDIOutput& port, int position) {
    if (port.State() != 0)
        port.Action(PortAction::Close);
    if (position == kNotEnabled)
        return true;
    port.SetDeviceID(position - kFirstOutputPosition);
    port.Action(PortAction::Open);
    return !(port.State() == 0 && position > 0);
}

bool OpenMidiIn(MIDIInput& port, int position) {
    if (port.State() != 0) {
        port.Action(PortAction::Stop);
        port.Action(PortAction::Close);
    }
    if (position != kNotEnabled) {
        port.SetDeviceID(position - kFirstInputPosition);
        port.Action(PortAction::Open);
        port.Action(PortAction::Start);
        port.SetFilter(kActiveSensingStatus, true);
        if (port.State() == 0 && position > 0)
            return false;
    }
    if (port.State() != 0)
        port.SetMessageEventEnable(true);
    return true;
}

void CloseMidiOut(MIDIOutput& port) {
    if (port.State() != 0)
        port.Action(PortAction::Close);
}

void CloseMidiIn(MIDIInput& port) {
    if (port.State() != 0) {
        port.Action(PortAction::Stop);
        port.Action(PortAction::Close);
    }
}

void SendLocalControlOff(MIDIOutput& port) {
    port.SetStatus(0xB0);
    port.SetData1(122);
    port.SetData2(0);
    port.Action(PortAction::Send);
}

} // namespace velomire
