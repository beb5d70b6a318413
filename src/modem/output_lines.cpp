// The output side of the modem lines: DTR and RTS raised, lowered and read
// back, and the break condition. lineBits records what the caller last asked
// of DTR and RTS (updated before the device call, whatever it reports), both
// for read-back and so that the line settings can raise them again. A driver
// that refuses the escape functions gets the line through the line state
// (line_drive.h).
#include "modem/line_drive.h"
#include "port/port_table.h"

using namespace velk;

namespace {

// The shared shape of SioDTR and SioRTS: 'S' and 'C' record the request in
// lineBits and drive the line; 'R' reads the request back, bit in place.
int driveLine(int port, int cmd, std::uint8_t bit, DWORD setFunc, DWORD clearFunc) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    switch (cmd & 0xFF) {
    case 'S':
        slot.lineBits = static_cast<std::uint8_t>(slot.lineBits | bit);
        return driveOutputLine(slot, setFunc) ? 1 : 0;
    case 'C':
        slot.lineBits = static_cast<std::uint8_t>(slot.lineBits & ~bit);
        return driveOutputLine(slot, clearFunc) ? 1 : 0;
    case 'R':
        return slot.lineBits & bit;
    default:
        return SIO_NO_DATA;
    }
}

}  // namespace

extern "C" VELK_API int VELK_CALL SioDTR(int port, int cmd) {
    return driveLine(port, cmd, kLineDtr, SETDTR, CLRDTR);
}

extern "C" VELK_API int VELK_CALL SioRTS(int port, int cmd) {
    return driveLine(port, cmd, kLineRts, SETRTS, CLRRTS);
}

extern "C" VELK_API int VELK_CALL SioBrkSig(int port, int cmd) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    DevHandle h = PortTable[port].handle;
    switch (cmd & 0xFF) {
    case 'A':
        return device().SetCommBreak(h) ? 1 : 0;
    case 'C':
        return device().ClearCommBreak(h) ? 1 : 0;
    case 'D':
        return 0;
    default:
        return SIO_BAD_COMMAND;
    }
}
