// TCGETS2/TCSETS2 with BOTHER: the driver is given the baud rate as a number,
// so rates such as 250000 that have no B* code can be set and read back.
// powerpc has no termios2: its kernel termios already carries the two speed
// fields, and TCGETS/TCSETS take BOTHER. Only the kernel's headers are
// included here (see posix/termios2.h); <asm/ioctls.h> by name, since musl's
// <sys/ioctl.h> does not bring it in as glibc's does.
#include "device/posix/termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace velk {
namespace termios2 {

namespace {
#if defined(TCGETS2)
using KernelTermios = struct termios2;
constexpr unsigned long kGet = TCGETS2;
constexpr unsigned long kSet = TCSETS2;
#else
using KernelTermios = struct termios;
constexpr unsigned long kGet = TCGETS;
constexpr unsigned long kSet = TCSETS;
#endif
}  // namespace

int apply(int fd, const LineFlags& flags, unsigned rate) {
    KernelTermios t;
    if (ioctl(fd, kGet, &t) != 0) return errno;
    t.c_iflag = flags.iflag;
    t.c_oflag = flags.oflag;
    t.c_lflag = flags.lflag;
    // Output speed BOTHER with c_ospeed; input speed bits zero mean "the
    // same as output".
    t.c_cflag = (flags.cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER;
    for (std::size_t i = 0; i < flags.ccCount && i < sizeof t.c_cc; ++i) t.c_cc[i] = flags.cc[i];
    t.c_ospeed = rate;
    t.c_ispeed = rate;
    if (ioctl(fd, kSet, &t) != 0) return errno;
    return 0;
}

unsigned long readRequest() {
    return kGet;
}

int readRate(int fd, unsigned* rate) {
    KernelTermios t;
    if (ioctl(fd, kGet, &t) != 0) return errno;
    *rate = t.c_ospeed;
    return 0;
}

}  // namespace termios2
}  // namespace velk
