// DTR and RTS through the escape functions, or through the line state for a
// driver that does not support them (see line_drive.h).
#include "modem/line_drive.h"

namespace velk {

namespace {

// DTR_CONTROL_* and RTS_CONTROL_* share the values of enable (1) and
// disable (0).
static_assert(DTR_CONTROL_ENABLE == RTS_CONTROL_ENABLE && DTR_CONTROL_DISABLE == RTS_CONTROL_DISABLE,
              "DTR and RTS control modes share enable and disable");

void setControlMode(DCB& d, bool dtr, DWORD mode) {
    if (dtr) {
        d.fDtrControl = mode;
    } else {
        d.fRtsControl = mode;
    }
}

}  // namespace

BOOL driveOutputLine(PortSlot& slot, DWORD func) {
    DeviceApi& dev = device();
    if (dev.EscapeCommFunction(slot.handle, func)) return 1;
    const bool dtr = func == SETDTR || func == CLRDTR;
    const bool raise = func == SETDTR || func == SETRTS;
    DCB& d = *slot.dcb;
    const DWORD mode = dtr ? d.fDtrControl : d.fRtsControl;
    if (mode != DTR_CONTROL_ENABLE && mode != DTR_CONTROL_DISABLE) return 0;
    if (!requestNotSupported(dev.GetLastError())) return 0;
    setControlMode(d, dtr, raise ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE);
    if (dev.SetCommState(slot.handle, &d)) return 1;
    setControlMode(d, dtr, mode);
    return 0;
}

}  // namespace velk
