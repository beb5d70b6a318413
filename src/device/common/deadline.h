// The time-out arithmetic of the POSIX tty's ReadFile and WriteFile: how long
// an operation may still wait, from the handle's COMMTIMEOUTS, the bytes asked
// and the time already spent, as Windows documents the five words. Pure
// functions of their arguments (times in milliseconds), so the rules are
// tested without a device or a clock.
#ifndef VELK_DEVICE_COMMON_DEADLINE_H
#define VELK_DEVICE_COMMON_DEADLINE_H

#include <cstdint>

#include "device/device_api.h"

namespace velk {

// Waiting without limit.
constexpr std::int64_t kNoLimit = -1;

// True when a read returns as soon as any byte has come
// (ReadIntervalTimeout = MAXDWORD).
inline bool readReturnsOnAnyByte(const COMMTIMEOUTS& t) {
    return t.ReadIntervalTimeout == MAXDWORD;
}

// True when a read takes what has arrived and never waits (the interval
// MAXDWORD, the total words 0): readTotalMs is then kNoLimit and readWaitMs 0.
inline bool readNeverWaits(const COMMTIMEOUTS& t) {
    return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
           t.ReadTotalTimeoutConstant == 0;
}

// True when a write may wait without limit (both write words 0):
// writeTotalMs is then kNoLimit.
inline bool writeUnbounded(const COMMTIMEOUTS& t) {
    return t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0;
}

// The bound on a whole read of n bytes: the constant alone when the interval
// and the multiplier are both MAXDWORD (wait for the first byte), otherwise
// multiplier * n + constant when either is set; kNoLimit when neither is.
std::int64_t readTotalMs(const COMMTIMEOUTS& t, DWORD n);

// How long a read of n bytes that has `count` bytes so far may wait for the
// next: kNoLimit, 0 (return now with what it has) or a number of ms.
// elapsedMs is the time since the read began, sinceByteMs the time since the
// last byte came (used only once count > 0 and an interval is set). With
// ReadIntervalTimeout = MAXDWORD and no total, a read never waits.
std::int64_t readWaitMs(const COMMTIMEOUTS& t, DWORD n, DWORD count, std::int64_t elapsedMs,
                        std::int64_t sinceByteMs);

// The bound on a write of n bytes: multiplier * n + constant, or kNoLimit
// when both are 0.
std::int64_t writeTotalMs(const COMMTIMEOUTS& t, DWORD n);

// The wait of a close for the output still queued in the driver. The close
// waits while the queue keeps falling; once nothing has left for
// stallMs(rate), the rest is given up (a peer holding the line with XOFF or
// CTS, and gone). A queue that drains, however slowly, is waited for to its
// last byte, and the driver's own closing_wait (30 s) is never reached.
class DrainWatch {
public:
    // How long the queue may stay as it is before the close gives up: a
    // second, or ten character times at `rate` baud when that is longer.
    static std::int64_t stallMs(DWORD rate);

    DrainWatch(DWORD rate, std::int64_t nowMs, int queued);
    // The queue read again at nowMs. True while the close should go on
    // waiting: bytes are still queued and the last drop came less than
    // stallMs ago.
    bool keepWaiting(std::int64_t nowMs, int queued);

private:
    std::int64_t stall_;
    std::int64_t lastDrop_;
    int lowest_;
};

}  // namespace velk

#endif  // VELK_DEVICE_COMMON_DEADLINE_H
