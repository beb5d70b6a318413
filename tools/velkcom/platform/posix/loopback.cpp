// The UART's internal loopback for `velkcom selftest --internal-loopback`
// (see platform.h), over the tty's modem-control bits: TIOCM_LOOP puts the
// chip into its loopback mode (8250/16550, PL011), TIOCM_OUT1 is the chip's
// OUT1 output, wired to RI in that mode. A descriptor of its own stays open
// on the device for the whole test, so that the library's close does not
// shut the port down under it, and the bits go back through it at the end.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000
#endif
#ifndef TIOCM_OUT1
#define TIOCM_OUT1 0x2000
#endif

namespace velkcom {

namespace {

int loopFd = -1;
int savedBits = 0;

}  // namespace

std::string loopbackEnter(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0) {
        const int err = errno;
        ::close(fd);
        return "the driver has no modem-control bits (TIOCMGET: " + std::string(std::strerror(err)) + ")";
    }
    int want = bits | TIOCM_LOOP | TIOCM_DTR | TIOCM_RTS;
    int now = 0;
    // A driver without the mode takes the request and ignores the bit: only
    // the bit read back says that the chip is in loopback.
    if (::ioctl(fd, TIOCMSET, &want) != 0 || ::ioctl(fd, TIOCMGET, &now) != 0 || (now & TIOCM_LOOP) == 0) {
        ::ioctl(fd, TIOCMSET, &bits);
        ::close(fd);
        return "the driver of " + path + " refuses the internal loopback (TIOCM_LOOP)";
    }
    loopFd = fd;
    savedBits = bits;
    return "";
}

bool loopbackSetOut1(bool on) {
    int bit = TIOCM_OUT1;
    return loopFd >= 0 && ::ioctl(loopFd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

void loopbackLeave() {
    if (loopFd < 0) return;
    ::ioctl(loopFd, TIOCMSET, &savedBits);
    ::close(loopFd);
    loopFd = -1;
}

}  // namespace velkcom
