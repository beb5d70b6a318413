// velk_port_unanswered: how many requests the server of an open network port
// has left unanswered, read from the connection's diagnostics. The port's
// handle comes from the port table, the one place in the device layer that
// looks above it; every other kind of port answers 0.
#include <climits>

#include "device/net/net_device.h"
#include "port/port_table.h"
#include "velk32_posix.h"

extern "C" VELK_API int VELK_CALL velk_port_unanswered(int port) {
    using namespace velk;
    const int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    const DevHandle h = PortTable[port].handle;
    NetDevice::Diagnostics d{};
    if (kindOfHandle(h) != &netKind() || !netDevice().diagnostics(h, &d)) return 0;
    return d.unanswered > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(d.unanswered);
}
