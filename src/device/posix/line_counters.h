// The driver's running counts of line errors, where the system keeps them
// (Linux: TIOCGICOUNT). The tty turns two readings into CE_* flags with
// lineErrorsBetween (line_state.h).
#ifndef VELK_DEVICE_POSIX_LINE_COUNTERS_H
#define VELK_DEVICE_POSIX_LINE_COUNTERS_H

#include <cerrno>

#include "device/posix/line_state.h"

namespace velk {

#if defined(__linux__)
// Reads the counters of the tty open on fd. Returns 0, or the errno: ENOTTY
// or EINVAL when the driver keeps none (a pty), another code when the device
// failed (EIO once it has hung up).
int readLineCounters(int fd, LineCounters* counters);
#else
// No counters on this system: every tty is one whose driver keeps none.
inline int readLineCounters(int, LineCounters*) {
    return ENOTTY;
}
#endif

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_LINE_COUNTERS_H
