// The read and write time-out rules of the POSIX tty (see posix_deadline.h).
#include "device/posix_deadline.h"

namespace velk {

std::int64_t readTotalMs(const COMMTIMEOUTS& t, DWORD n) {
    if (readReturnsOnAnyByte(t) && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        return t.ReadTotalTimeoutConstant;
    }
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return kNoLimit;
    return static_cast<std::int64_t>(t.ReadTotalTimeoutMultiplier) * n +
           static_cast<std::int64_t>(t.ReadTotalTimeoutConstant);
}

std::int64_t readWaitMs(const COMMTIMEOUTS& t, DWORD n, DWORD count, std::int64_t elapsedMs,
                        std::int64_t sinceByteMs) {
    const bool anyByte = readReturnsOnAnyByte(t);
    const std::int64_t total = readTotalMs(t, n);
    if (anyByte && total == kNoLimit) return 0;
    std::int64_t wait = kNoLimit;
    if (total != kNoLimit) {
        wait = total - elapsedMs;
        if (wait <= 0) return 0;
    }
    if (t.ReadIntervalTimeout != 0 && !anyByte && count > 0) {
        const std::int64_t gap = static_cast<std::int64_t>(t.ReadIntervalTimeout) - sinceByteMs;
        if (gap <= 0) return 0;
        if (wait == kNoLimit || gap < wait) wait = gap;
    }
    return wait;
}

std::int64_t writeTotalMs(const COMMTIMEOUTS& t, DWORD n) {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return kNoLimit;
    return static_cast<std::int64_t>(t.WriteTotalTimeoutMultiplier) * n +
           static_cast<std::int64_t>(t.WriteTotalTimeoutConstant);
}

}  // namespace velk
