// The receive side: bytes that have arrived, taken one at a time or as a
// block without ever waiting, a one-byte push-back per port that is delivered
// before the device's queue, the count of bytes waiting, and draining.
#include "port/port_table.h"

using namespace velk;

extern "C" VELK_API int VELK_CALL SioGetc(int port) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    if (slot.pushedBack != 0) {
        int byte = slot.pushedBack;
        slot.pushedBack = 0;
        return byte;
    }
    DeviceApi& dev = device();
    DWORD errors = 0;
    // A failed status query is reported, not read as "no data": a device that
    // has gone away must not look like a quiet line forever.
    if (!dev.ClearCommError(slot.handle, &errors, &sharedStat)) return deviceFailure();
    if (sharedStat.cbInQue == 0) return SIO_NO_DATA;
    unsigned char byte = 0;
    DWORD got = 0;
    if (!dev.ReadFile(slot.handle, &byte, 1, &got)) return deviceFailure();
    return got == 0 ? SIO_NO_DATA : static_cast<int>(byte);
}

extern "C" VELK_API int VELK_CALL SioGets(int port, char* buffer, int size) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    // A negative size would reach the device as a count in the gigabytes and
    // overwrite the caller's memory; a null buffer cannot be written.
    if (size < 0) return winError(kErrInvalidParameter);
    if (slot.pushedBack != 0) {
        if (size == 0) return 0;  // nothing asked for: the byte stays pushed back
        if (buffer == nullptr) return winError(kErrInvalidParameter);
        buffer[0] = static_cast<char>(slot.pushedBack);
        slot.pushedBack = 0;
        return 1;
    }
    if (buffer == nullptr && size > 0) return winError(kErrInvalidParameter);
    DWORD got = 0;
    if (!device().ReadFile(slot.handle, buffer, static_cast<DWORD>(size), &got)) {
        return deviceFailure();
    }
    return static_cast<int>(got);
}

extern "C" VELK_API int VELK_CALL SioUnGetc(int port, int ch) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    PortTable[port].pushedBack = static_cast<std::uint8_t>(ch & 0xFF);
    return 0;
}

extern "C" VELK_API int VELK_CALL SioRxQue(int port) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    DWORD errors = 0;
    if (!device().ClearCommError(PortTable[port].handle, &errors, &sharedStat)) return 0;
    return static_cast<int>(sharedStat.cbInQue);
}

extern "C" VELK_API int VELK_CALL SioRxClear(int port) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    while (SioGetc(port) >= 0) {
    }
    return 0;
}
