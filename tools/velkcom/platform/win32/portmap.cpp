// Port mapping on Windows: the DLL opens COM1 to COM9 by name and has no way
// to point a port elsewhere, and no built-in loopback plug.
#include "platform/platform.h"

namespace velkcom {

bool deviceOptionSupported() {
    return false;
}

std::string defaultSelftestDevice() {
    return "";
}

int mapPort(int, const std::string&) {
    return -1;
}

std::string defaultDeviceName(int port) {
    return "COM" + std::to_string(port + 1);
}

}  // namespace velkcom
