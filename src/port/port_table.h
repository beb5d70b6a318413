// The library's whole state: the table of nine port slots, the nine DCB
// records that hold each port's line state, and the module-wide words beside
// them (the last platform error, the shared status record, the time-outs used
// at open, the device-name buffer). All of it is constant-initialised and
// lives for the life of the module. Also the checks with which every port
// function begins, and the one way of reporting SIO_WIN_ERROR.
#ifndef VELK_PORT_PORT_TABLE_H
#define VELK_PORT_PORT_TABLE_H

#include <cstdint>

#include "device/device_api.h"
#include "velk32.h"

namespace velk {

struct PortSlot {
    DevHandle handle;             // the open device, or kNoDevice
    std::uint8_t lineBits;        // bit 0: DTR raised by SioDTR; bit 1: RTS raised by SioRTS
    std::uint8_t pushedBack;      // byte pushed back by SioUnGetc; 0 means none
    DCB* dcb;                     // this port's entry of dcbTable
    COMMTIMEOUTS savedTimeouts;   // the device's time-outs at open, given back at close
};

constexpr std::uint8_t kLineDtr = 0x01;
constexpr std::uint8_t kLineRts = 0x02;

extern DCB dcbTable[SIO_PORT_COUNT];
extern PortSlot PortTable[SIO_PORT_COUNT];
extern DWORD lastWinError;
extern COMSTAT sharedStat;
extern COMMTIMEOUTS resetTimeouts;
extern char deviceName[8];

// SIO_BAD_PORT for a port outside 0 to 8, otherwise 0.
inline int CheckPort(int port) {
    return port < 0 || port >= SIO_PORT_COUNT ? SIO_BAD_PORT : 0;
}

// The checks every port function but SioReset begins with: CheckPort, then
// the open check. Returns SIO_BAD_PORT, SIO_NOT_OPEN or 0.
inline int CheckOpenPort(int port) {
    int rc = CheckPort(port);
    if (rc < 0) return rc;
    return PortTable[port].handle == kNoDevice ? SIO_NOT_OPEN : 0;
}

// Stores code in lastWinError and returns SIO_WIN_ERROR.
inline int winError(DWORD code) {
    lastWinError = code;
    return SIO_WIN_ERROR;
}

// Reports the device operation that just failed: its error code is read at
// once and kept for SioWinError.
inline int deviceFailure() {
    return winError(device().GetLastError());
}

}  // namespace velk

#endif  // VELK_PORT_PORT_TABLE_H
