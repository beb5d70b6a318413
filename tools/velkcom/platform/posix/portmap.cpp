// Port mapping on POSIX: the library's extension velk_map_port points a port
// number at any device path, or at the built-in loopback plug "loop://".
#include "platform/platform.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velkcom {

bool deviceOptionSupported() {
    return true;
}

std::string defaultSelftestDevice() {
    return "loop://";
}

int mapPort(int port, const std::string& device) {
    return velk_map_port(port, device.c_str());
}

std::string defaultDeviceName(int port) {
    return "/dev/ttyS" + std::to_string(port);
}

}  // namespace velkcom
