// Literal baud rates on Linux: the TCGETS2/TCSETS2 requests with BOTHER,
// which carry the rate as a number instead of one of the B* speed codes.
// They need the kernel's <asm/termbits.h>, whose struct termios clashes with
// the C library's <termios.h>, so they live in a source file of their own
// and this header names no termios type: the line settings travel as plain
// flag words and the control characters as a byte array indexed like c_cc
// (the C library's indices on Linux are the kernel's).
#ifndef VELK_DEVICE_POSIX_TERMIOS2_H
#define VELK_DEVICE_POSIX_TERMIOS2_H

#include <cstddef>

namespace velk {
namespace termios2 {

struct LineFlags {
    unsigned iflag;
    unsigned oflag;
    unsigned cflag;  // the speed bits (CBAUD, CIBAUD) are ignored
    unsigned lflag;
    const unsigned char* cc;
    std::size_t ccCount;
};

// Applies the flags, the control characters and the literal rate `rate` for
// both directions in one TCSETS2 request. Returns 0 or the errno.
int apply(int fd, const LineFlags& flags, unsigned rate);

// The output rate the driver holds, read with TCGETS2 (for standard and
// literal rates alike). Returns 0 or the errno.
int readRate(int fd, unsigned* rate);

// The request readRate and apply read the line state with (TCGETS2, or
// TCGETS where the plain termios carries the rate), for tests that make it fail.
unsigned long readRequest();

}  // namespace termios2
}  // namespace velk

#endif  // VELK_DEVICE_POSIX_TERMIOS2_H
