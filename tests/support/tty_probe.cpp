// TCGETS2 for the tests (see tty_probe.h); TCGETS on powerpc, whose plain
// kernel termios carries the speed fields.
#include "support/tty_probe.h"

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
    struct termios2 t;
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
