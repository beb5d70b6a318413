// The input side: the four modem-status lines, each returned as its bit in
// place, and the line-error flags accumulated in the device, which the status
// query hands over and clears. A failed query reads as 0.
#include "port/port_table.h"

using namespace velk;

namespace {

int modemBit(int port, DWORD bit) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    DWORD status = 0;  // left as it was by a failed query
    device().GetCommModemStatus(PortTable[port].handle, &status);
    return static_cast<int>(status & bit);
}

}  // namespace

extern "C" VELK_API int VELK_CALL SioCTS(int port) {
    return modemBit(port, MS_CTS_ON);
}

extern "C" VELK_API int VELK_CALL SioDSR(int port) {
    return modemBit(port, MS_DSR_ON);
}

extern "C" VELK_API int VELK_CALL SioRI(int port) {
    return modemBit(port, MS_RING_ON);
}

extern "C" VELK_API int VELK_CALL SioDCD(int port) {
    return modemBit(port, MS_RLSD_ON);
}

extern "C" VELK_API int VELK_CALL SioStatus(int port, int mask) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    DWORD errors = 0;
    if (!device().ClearCommError(PortTable[port].handle, &errors, &sharedStat)) return 0;
    return static_cast<int>(errors & static_cast<DWORD>(mask));
}
