// The transmit side: single bytes and blocks handed to the device with one
// synchronous write each, the count of bytes still waiting to go out, and the
// discarding of pending output. Nothing is buffered here; a write returns
// when the device has taken every byte, however long flow control holds it.
#include "port/port_table.h"

using namespace velk;

extern "C" VELK_API int VELK_CALL SioPutc(int port, int ch) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    const char byte = static_cast<char>(ch & 0xFF);
    DWORD written = 0;
    if (!device().WriteFile(PortTable[port].handle, &byte, 1, &written)) return deviceFailure();
    return 0;
}

extern "C" VELK_API int VELK_CALL SioPuts(int port, const char* buffer, int length) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    // A negative length would reach the device as a count in the gigabytes,
    // and a null buffer cannot be read: refuse both before sending anything.
    if (length < 0 || (buffer == nullptr && length > 0)) return winError(kErrInvalidParameter);
    DWORD written = 0;
    if (!device().WriteFile(PortTable[port].handle, buffer, static_cast<DWORD>(length), &written)) {
        return deviceFailure();
    }
    return static_cast<int>(written);
}

extern "C" VELK_API int VELK_CALL SioTxQue(int port) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    DWORD errors = 0;
    if (!device().ClearCommError(PortTable[port].handle, &errors, &sharedStat)) return 0;
    return static_cast<int>(sharedStat.cbOutQue);
}

extern "C" VELK_API int VELK_CALL SioTxClear(int port) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    // Discards what is still waiting to go out, aborting a write in progress.
    device().PurgeComm(PortTable[port].handle, PURGE_TXABORT | PURGE_TXCLEAR);
    return 0;
}
