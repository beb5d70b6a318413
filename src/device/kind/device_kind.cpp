// What every kind of POSIX device shares: the thread's last error, the
// reading of "COM1".."COM9" into a port and its mapping, and DeviceKind's
// own CreateFileA, which opens a port through its mapping as the routing
// does.
#include "device/kind/device_kind.h"

#include <cerrno>

#include "device/common/driver_rules.h"
#include "device/kind/port_map.h"

namespace velk {

namespace {
thread_local int lastError = 0;
}  // namespace

int deviceError() {
    return lastError;
}

void setDeviceError(int err) {
    lastError = err;
}

int resolvePort(const char* name, char* target, std::size_t n) {
    const int port = comPortOfName(name);
    if (port < 0) return setDeviceError(ENOENT), -1;
    const int err = portPath(port, target, n);
    if (err != 0) return setDeviceError(err), -1;
    return port;
}

DevHandle DeviceKind::CreateFileA(const char* name) {
    char target[kTargetMax];
    const int port = resolvePort(name, target, sizeof target);
    return port < 0 ? kNoDevice : open(port, target);
}

DWORD DeviceKind::GetLastError() {
    return static_cast<DWORD>(lastError);
}

BOOL DeviceKind::fail(int err) {
    lastError = err;
    return 0;
}

}  // namespace velk
