// Reading a tty's line state the way the kernel holds it, independently of
// the library: the termios2 record (TCGETS2), whose rate field shows literal
// rates. A file of its own because <asm/termbits.h> clashes with <termios.h>.
#ifndef VELK_TESTS_SUPPORT_TTY_PROBE_H
#define VELK_TESTS_SUPPORT_TTY_PROBE_H

namespace velk {
namespace probe {

struct Termios2 {
    unsigned cflag;
    unsigned iflag;
    unsigned ispeed;
    unsigned ospeed;
    bool bother;  // the speed bits say BOTHER (a literal rate)
};

// TCGETS2 on fd; false (errno set) when the request fails.
bool readTermios2(int fd, Termios2* out);

}  // namespace probe
}  // namespace velk

// In a GoogleTest test: skips it, naming the request, when `call` (an ioctl
// or readTermios2) fails with ENOSYS. No tty driver answers ENOSYS; the
// system lacks the request itself, as qemu-user does for several.
#define VELK_SKIP_IF_NO_REQUEST(call, name)                                                      \
    do {                                                                                          \
        if (!(call) && errno == ENOSYS)                                                           \
            GTEST_SKIP() << name << ": ENOSYS, this system lacks the request (qemu-user does)";   \
    } while (0)

#endif  // VELK_TESTS_SUPPORT_TTY_PROBE_H
