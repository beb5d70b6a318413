// DeviceKind: one kind of device that a POSIX port can stand for (a tty
// device file, the loop:// plug; network devices later), as the routing in
// posix_routing.cpp sees it. A kind is a DeviceApi whose ports are opened
// with open(port, target), target being the port's mapping (velk_map_port)
// with its prefix; every other operation gets back a handle this kind issued.
// Error codes are errno values, kept per thread and shared by every kind, so
// that GetLastError after any routed call tells what failed. A kind's
// ReadFile and WriteFile set their count to 0 before anything can fail (the
// routing hands them the caller's pointer untouched).
#ifndef VELK_DEVICE_POSIX_KIND_H
#define VELK_DEVICE_POSIX_KIND_H

#include "device/device_api.h"

namespace velk {

// A kind's handles stay below this bound: the routing keeps the kind in the
// bits above (and never sets the top bit, so no routed handle is kNoDevice).
constexpr int kKindHandleBits = static_cast<int>(sizeof(DevHandle) * 8) - 4;
constexpr DevHandle kKindHandleLimit = DevHandle(1) << kKindHandleBits;

class DeviceKind : public DeviceApi {
public:
    // Opens port (0 for COM1 to 8 for COM9) as `target` says: for instance
    // "/dev/ttyUSB0" or "loop://". Returns a handle below kKindHandleLimit,
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

// The kind that issued a handle of the POSIX device (the routed handle a
// port keeps), or null.
DeviceKind* kindOfHandle(DevHandle h);

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_KIND_H
