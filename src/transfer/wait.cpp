// Waiting for a port (the POSIX library only): velk_wait sleeps until the
// port has something to read or to report, or until its time-out passes, and
// velk_port_fd hands out the descriptor that a program's own event loop
// watches instead. A pushed-back byte is the port table's, so it is looked at
// here; everything else is the device's, which waits as its kind does (a
// tty in poll on its file, loop:// on a descriptor its queue signals, a
// network port on its socket while it runs what the server sends).
#include "port/port_table.h"
#include "velk32_posix.h"

using namespace velk;

extern "C" VELK_API int VELK_CALL velk_wait(int port, int timeout_ms) {
    const int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    const PortSlot& slot = PortTable[port];
    if (slot.pushedBack != 0) return 1;
    BOOL ready = 0;
    if (!device().WaitForReceive(slot.handle, timeout_ms, &ready)) return deviceFailure();
    return ready ? 1 : 0;
}

extern "C" VELK_API int VELK_CALL velk_port_fd(int port) {
    const int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    int fd = -1;
    if (!device().ReceiveDescriptor(PortTable[port].handle, &fd)) return deviceFailure();
    return fd;
}
