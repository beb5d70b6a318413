// The port list where velkcom knows no record of the system's ports to read
// (POSIX systems other than Linux, which has sysfs): `velkcom list` says so
// and fails; every other command works, with ports named by device path.
#include "platform/ports.h"

namespace velkcom {

bool listRootSupported() {
    return false;
}

bool listPorts(const std::string&, std::vector<PortInfo>& out, std::string& error) {
    out.clear();
    error = "not available on this system (the port list reads Linux's sysfs); name a device with --device";
    return false;
}

}  // namespace velkcom
