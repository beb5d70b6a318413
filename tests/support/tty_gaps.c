/* The gaps of tty_gaps.h that termios and the tty ioctls show. */
#include "support/tty_gaps.h"

#include <errno.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <termios.h>

const char *velk_gap_break(int fd) {
    if (ioctl(fd, TIOCSBRK) != 0) {
        return errno == ENOSYS ? "TIOCSBRK: ENOSYS, this system lacks the request (qemu-user does)" : NULL;
    }
    if (ioctl(fd, TIOCCBRK) != 0 && errno == ENOSYS) {
        return "TIOCCBRK: ENOSYS, this system lacks the request (qemu-user does)";
    }
    return NULL;
}

const char *velk_gap_cmspar(int fd) {
#if defined(CMSPAR)
    struct termios was, t, back;
    const char *gap = NULL;
    if (tcgetattr(fd, &was) != 0) return NULL;
    t = was;
    t.c_cflag |= PARENB | PARODD | CMSPAR; /* mark parity */
    if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &back) != 0 || !(back.c_cflag & CMSPAR)) {
        gap = "CMSPAR: refused or dropped by this system's termios (qemu-user does)";
    }
    tcsetattr(fd, TCSANOW, &was);
    return gap;
#else
    (void)fd;
    return "CMSPAR: this system's termios has no mark or space parity";
#endif
}

#if !defined(VELK_TTY_PROBE)
const char *velk_gap_rate_record(int fd) {
    (void)fd;
    return NULL;
}
#endif
