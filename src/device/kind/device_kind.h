// DeviceKind: one kind of device that a POSIX port can stand for (a tty
// device file, the loop:// plug, a network port), as the routing in
// routing.cpp sees it. A kind is a DeviceApi whose ports are opened with
// open(port, target), target being the port's mapping (velk_map_port) with
// its prefix; every other operation gets back a handle this kind issued, in
// the format of common/handle.h. Error codes are errno values, kept per
// thread and shared by every kind, so that GetLastError after any routed call
// tells what failed. A kind's ReadFile and WriteFile set their count to 0
// before anything can fail (the routing hands them the caller's pointer
// untouched). What every kind shares is in device_kind.cpp.
#ifndef VELK_DEVICE_KIND_DEVICE_KIND_H
#define VELK_DEVICE_KIND_DEVICE_KIND_H

#include <cstddef>

#include "device/common/handle.h"
#include "device/device_api.h"

namespace velk {

class DeviceKind : public DeviceApi {
public:
    // Opens port (0 for COM1 to 8 for COM9) as `target` says: for instance
    // "/dev/ttyUSB0" or "loop://". Returns a handle made by handle::make,
    // or kNoDevice with the errno for GetLastError.
    virtual DevHandle open(int port, const char* target) = 0;

    // Opens "COM1" to "COM9" through the port's mapping, as the routing does,
    // whatever kind the mapping names.
    DevHandle CreateFileA(const char* name) final;

    // The errno of the operation that last failed on this thread, in any kind.
    DWORD GetLastError() final;

protected:
    // Records err as this thread's last error; returns 0 (failure).
    static BOOL fail(int err);
};

// The longest mapping a port may have, with its terminating zero.
constexpr std::size_t kTargetMax = 4096;

// Reads a device name "COM1" to "COM9" and the port's mapping into target.
// Returns the port, or -1 with the errno recorded as this thread's error.
int resolvePort(const char* name, char* target, std::size_t n);

// This thread's last error (an errno value), as every kind and the routing
// record it.
int deviceError();
void setDeviceError(int err);

// The kind that issued a handle of the POSIX device (the routed handle a
// port keeps), or null.
DeviceKind* kindOfHandle(DevHandle h);

// The wait of the kinds whose input shows on one descriptor: sleeps in poll
// until fd is readable, has hung up or failed, or timeoutMs has passed
// (negative: without limit; 0: only looks). A signal does not end it: the
// poll goes on for the time left. Returns 1 (ready), 0 (the time ran out),
// or -1 with errno (EBADF for a descriptor that is not open).
int waitReadable(int fd, int timeoutMs);

}  // namespace velk

#endif  // VELK_DEVICE_KIND_DEVICE_KIND_H
