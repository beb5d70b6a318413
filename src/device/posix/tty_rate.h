// The line rate of a tty, set with the rest of termios in one request and
// read back from the driver: a standard rate as its B* speed code; on Linux a
// literal rate through TCSETS2 with BOTHER (termios2.h), and when the driver
// or an emulator lacks TCGETS2, the speed code of termios instead (standard
// rates keep working, literal ones are refused); elsewhere, where speed_t is
// the rate itself, as the number.
#ifndef VELK_DEVICE_POSIX_TTY_RATE_H
#define VELK_DEVICE_POSIX_TTY_RATE_H

#include <termios.h>

#include "device/device_api.h"

namespace velk {

// Applies t, with the rate `rate`, in one request. Returns 0 or the errno.
int applyTermios(int fd, struct termios& t, DWORD rate);

// The rate the driver holds for the tty open on fd, whose termios is t.
// Returns 0 or the errno.
int readRate(int fd, const struct termios& t, DWORD* rate);

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_TTY_RATE_H
