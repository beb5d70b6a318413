// velk_port_unanswered (the POSIX library only): how many requests the server
// of an open network port has left unanswered, as the device counts them;
// every other kind of port answers 0.
#include <climits>

#include "port/port_table.h"
#include "velk32_posix.h"

using namespace velk;

extern "C" VELK_API int VELK_CALL velk_port_unanswered(int port) {
    const int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    DWORD count = 0;
    if (!device().UnansweredRequests(PortTable[port].handle, &count)) return 0;
    return count > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}
