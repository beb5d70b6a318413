// The Linux line-error counters: TIOCGICOUNT's serial_icounter_struct, read
// into the system-neutral LineCounters (see posix/line_counters.h).
#include "device/posix/line_counters.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace velk {

int readLineCounters(int fd, LineCounters* counters) {
#if defined(TIOCGICOUNT)
    struct serial_icounter_struct ic;
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return errno;
    *counters = LineCounters{ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    return 0;
#else
    (void)fd;
    (void)counters;
    return ENOTTY;
#endif
}

}  // namespace velk
