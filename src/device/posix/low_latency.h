// The driver's low-latency mode of a tty (Linux: ASYNC_LOW_LATENCY in the
// serial_struct of TIOCGSERIAL/TIOCSSERIAL). On USB adapters it is what
// decides how long received bytes wait in the adapter before they are sent
// on: ftdi_sio sets the adapter's latency timer to 1 ms with it, 16 ms
// without, and a request/reply exchange waits that long for each answer.
// The tty turns the mode on at open and puts back what it found at close.
#ifndef VELK_DEVICE_POSIX_LOW_LATENCY_H
#define VELK_DEVICE_POSIX_LOW_LATENCY_H

namespace velk {

#if defined(__linux__)
// Turns the mode on for the tty open on fd. True when this call turned it
// on, so that the close turns it off again; false when it was on already,
// or the driver has no such mode or refuses it (a pty: neither is an error).
bool lowLatencyOn(int fd);
// Turns the mode off again (what lowLatencyOn found); a device that has gone
// away is left as it is.
void lowLatencyOff(int fd);
#else
inline bool lowLatencyOn(int) {
    return false;
}
inline void lowLatencyOff(int) {}
#endif

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_LOW_LATENCY_H
