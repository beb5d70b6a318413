// velk_map_port and the per-port path table behind it. The table is a fixed,
// zero-initialised array, so loading the library runs no code and mapping a
// port allocates nothing; a path is copied in whole or the port remembers
// that it was too long (the next open then fails as open(2) would, with
// ENAMETOOLONG).
#include "device/kind/port_map.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "velk32_posix.h"

namespace velk {

namespace {

constexpr int kPorts = SIO_PORT_COUNT;
#ifdef PATH_MAX
constexpr std::size_t kPathMax = PATH_MAX;
#else
constexpr std::size_t kPathMax = 4096;
#endif

enum class Mapping : unsigned char { Default, Path, TooLong };

struct PortMap {
    Mapping kind;
    char path[kPathMax];
};

PortMap portMap[kPorts] = {};

}  // namespace

int portPath(int port, char* buf, std::size_t n) {
    if (port < 0 || port >= kPorts || n == 0) return EINVAL;
    const PortMap& m = portMap[port];
    switch (m.kind) {
    case Mapping::TooLong:
        return ENAMETOOLONG;
    case Mapping::Path:
        if (std::strlen(m.path) >= n) return ENAMETOOLONG;
        std::strcpy(buf, m.path);
        return 0;
    case Mapping::Default:
    default:
        std::snprintf(buf, n, "/dev/ttyS%d", port);
        return 0;
    }
}

}  // namespace velk

extern "C" VELK_API int VELK_CALL velk_map_port(int port, const char* device) {
    using namespace velk;
    if (port < 0 || port >= kPorts) return SIO_BAD_PORT;
    PortMap& m = portMap[port];
    if (device == nullptr) {
        m.kind = Mapping::Default;
        m.path[0] = '\0';
        return 0;
    }
    std::size_t len = std::strlen(device);
    if (len >= sizeof m.path) {
        m.kind = Mapping::TooLong;
        m.path[0] = '\0';
        return 0;
    }
    std::memcpy(m.path, device, len + 1);
    m.kind = Mapping::Path;
    return 0;
}
