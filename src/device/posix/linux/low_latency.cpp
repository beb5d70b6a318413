// The Linux low-latency mode (see posix/low_latency.h): the ASYNC_LOW_LATENCY
// flag of the driver's serial_struct. Only that flag changes; everything
// else the driver reported goes back to it as it was, so that a user without
// CAP_SYS_ADMIN may make the request.
#include "device/posix/low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace velk {

namespace {

// Sets or clears the flag; true when the driver took the change.
bool setLowLatency(int fd, bool on, bool onlyIfChanging) {
    struct serial_struct ss;
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return false;
    const bool isOn = (ss.flags & ASYNC_LOW_LATENCY) != 0;
    if (onlyIfChanging && isOn == on) return false;
    if (on) {
        ss.flags |= ASYNC_LOW_LATENCY;
    } else {
        ss.flags &= ~ASYNC_LOW_LATENCY;
    }
    return ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

}  // namespace

bool lowLatencyOn(int fd) {
    return setLowLatency(fd, true, true);
}

void lowLatencyOff(int fd) {
    setLowLatency(fd, false, false);
}

}  // namespace velk
