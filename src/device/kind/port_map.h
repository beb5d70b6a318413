// The table of device paths behind the nine ports of the POSIX backend, set
// by velk_map_port: each port opens either its default /dev/ttyS<N>, a path
// the application chose, or the built-in loopback plug ("loop://").
#ifndef VELK_DEVICE_KIND_PORT_MAP_H
#define VELK_DEVICE_KIND_PORT_MAP_H

#include <cstddef>

namespace velk {

// The name that maps a port to the built-in loopback plug.
constexpr const char kLoopName[] = "loop://";

// What stands behind port (0..8): the path to open, written into buf (of
// size n; the default path when the port is not mapped). Returns 0, or the
// errno an open of the mapped path would give when it cannot be held
// (ENAMETOOLONG).
int portPath(int port, char* buf, std::size_t n);

}  // namespace velk

#endif  // VELK_DEVICE_KIND_PORT_MAP_H
