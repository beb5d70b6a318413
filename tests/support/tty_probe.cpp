// TCGETS2 for the tests (see tty_probe.h); TCGETS on powerpc, whose plain
// kernel termios carries the speed fields. Also the rate-record gap of
// tty_gaps.h.
#include "support/tty_probe.h"

#include <cerrno>

#include "support/tty_gaps.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#if !defined(TCGETS2)
#define termios2 termios
#define TCGETS2 TCGETS
#endif

namespace velk {
namespace probe {

bool readTermios2(int fd, Termios2* out) {
    struct termios2 t{};  // a field the request leaves unwritten reads as 0
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    out->cflag = t.c_cflag;
    out->iflag = t.c_iflag;
    out->ispeed = t.c_ispeed;
    out->ospeed = t.c_ospeed;
    out->bother = (t.c_cflag & CBAUD) == BOTHER;
    return true;
}

}  // namespace probe
}  // namespace velk

extern "C" const char* velk_gap_rate_record(int fd) {
    velk::probe::Termios2 t{};
    if (!velk::probe::readTermios2(fd, &t)) {
        return errno == ENOSYS ? "TCGETS2: ENOSYS, this system lacks the request (qemu-user does)" : nullptr;
    }
    // A tty not hung up (B0) always has a rate: the driver fills the fields.
    if (t.ospeed == 0 && (t.cflag & CBAUD) != B0) {
        return "TCGETS2 (TCGETS on powerpc) leaves the speed fields c_ispeed and c_ospeed empty on this system "
               "(qemu-user on ppc64el does)";
    }
    return nullptr;
}
