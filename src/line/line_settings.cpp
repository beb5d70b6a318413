// Line settings: baud rate, character format and flow control. Each call
// changes fields of the port's DCB record and applies the whole record, so a
// value the device rejected stays in the record and is offered again by every
// later call. SioParms and SioFlow then raise DTR and RTS again where the
// caller last raised them, since a new record may have changed the lines.
#include "modem/line_drive.h"
#include "port/port_table.h"

using namespace velk;

namespace {

constexpr DWORD BaudTable[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// After a successful SetCommState: put back the lines SioDTR/SioRTS raised,
// as they raise them. The results are not looked at.
void raiseLinesAgain(PortSlot& slot) {
    if (slot.lineBits & kLineDtr) driveOutputLine(slot, SETDTR);
    if (slot.lineBits & kLineRts) driveOutputLine(slot, SETRTS);
}

}  // namespace

extern "C" VELK_API int VELK_CALL SioBaud(int port, int rate) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    const auto code = static_cast<std::uint32_t>(rate);
    slot.dcb->BaudRate = code < 10 ? BaudTable[code] : code;
    return device().SetCommState(slot.handle, slot.dcb) ? 1 : 0;
}

extern "C" VELK_API int VELK_CALL SioParms(int port, int parity, int stopBits, int dataBits) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    slot.dcb->Parity = static_cast<BYTE>(parity & 0xFF);
    slot.dcb->StopBits = static_cast<BYTE>(stopBits & 0xFF);
    slot.dcb->ByteSize = static_cast<BYTE>(dataBits & 0xFF);
    if (device().SetCommState(slot.handle, slot.dcb)) raiseLinesAgain(slot);
    return 0;
}

extern "C" VELK_API int VELK_CALL SioFlow(int port, int mode) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    DCB& d = *slot.dcb;
    switch (mode & 0xFF) {
    case 'H':
        d.fOutxCtsFlow = 1;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        d.fOutX = 0;
        d.fInX = 0;
        break;
    case 'S':
        d.fOutxCtsFlow = 0;
        d.fRtsControl = RTS_CONTROL_DISABLE;
        d.fOutX = 1;
        d.fInX = 1;
        break;
    case 'N':
        d.fOutxCtsFlow = 0;
        d.fRtsControl = RTS_CONTROL_DISABLE;
        d.fOutX = 0;
        d.fInX = 0;
        break;
    default:
        break;  // unknown letters change nothing; the record is applied all the same
    }
    if (device().SetCommState(slot.handle, slot.dcb)) raiseLinesAgain(slot);
    return 0;
}
