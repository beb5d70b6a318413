// The line rate of a tty (see tty_rate.h).
#include "device/posix/tty_rate.h"

#include <cerrno>

#include "device/posix/line_state.h"

#if defined(__linux__)
#include "device/posix/termios2.h"
#endif

namespace velk {

int applyTermios(int fd, struct termios& t, DWORD rate) {
    speed_t code;
    if (speedCodeOfRate(rate, &code)) {
        if (::cfsetispeed(&t, code) != 0 || ::cfsetospeed(&t, code) != 0) return EINVAL;
        return ::tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
    }
#if defined(__linux__)
    // A literal rate goes to the driver in one TCSETS2 request with the rest
    // of the line state, never as BOTHER through tcsetattr.
    termios2::LineFlags f = {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc, NCCS};
    return termios2::apply(fd, f, rate);
#else
    // Where speed_t is the rate itself, the driver says whether it can.
    if (::cfsetispeed(&t, static_cast<speed_t>(rate)) != 0 ||
        ::cfsetospeed(&t, static_cast<speed_t>(rate)) != 0) {
        return EINVAL;
    }
    return ::tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
#endif
}

int readRate(int fd, const struct termios& t, DWORD* rate) {
#if defined(__linux__)
    unsigned r = 0;
    const int err = termios2::readRate(fd, &r);
    // Where the request itself is missing (an emulator, a sandbox that
    // filters it), or the driver leaves the rate field empty, the speed code
    // of termios says the rate: standard rates keep working, literal ones
    // are refused when set.
    if ((err == ENOSYS || err == ENOTTY || err == EINVAL) || (err == 0 && r == 0)) {
        *rate = rateOfSpeedCode(cfgetospeed(&t));
        return 0;
    }
    *rate = r;
    return err;
#else
    (void)fd;
    *rate = rateOfSpeedCode(cfgetospeed(&t));
    return 0;
#endif
}

}  // namespace velk
