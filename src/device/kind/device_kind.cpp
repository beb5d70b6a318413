// What every kind of POSIX device shares: the thread's last error, the
// reading of "COM1".."COM9" into a port and its mapping, DeviceKind's own
// CreateFileA, which opens a port through its mapping as the routing does,
// and the wait on one descriptor.
#include "device/kind/device_kind.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

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

int waitReadable(int fd, int timeoutMs) {
    std::int64_t deadline = 0;
    if (timeoutMs > 0) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        deadline = static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + timeoutMs;
    }
    int wait = timeoutMs < 0 ? -1 : timeoutMs;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        const int r = ::poll(&p, 1, wait);
        if (r > 0) {
            if (p.revents & POLLNVAL) return errno = EBADF, -1;
            return 1;  // data, a hang-up or an error: the next read tells which
        }
        if (r < 0 && errno != EINTR) return -1;
        if (r == 0 && timeoutMs >= 0) return 0;
        if (timeoutMs > 0) {  // interrupted: the time left
            struct timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            const std::int64_t left =
                deadline - (static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
            if (left <= 0) return 0;
            wait = static_cast<int>(left);
        }
    }
}

}  // namespace velk
