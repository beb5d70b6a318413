// The read and write time-out rules of the POSIX tty (see deadline.h).
#include "device/common/deadline.h"

#include <limits>

namespace velk {

namespace {

// multiplier * n + constant, held at the largest int64 (about 292 million
// years) where the product of two 32-bit words would not fit.
std::int64_t bound(DWORD multiplier, DWORD n, DWORD constant) {
    const std::uint64_t ms = static_cast<std::uint64_t>(multiplier) * n + constant;
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(ms < kMax ? ms : kMax);
}

}  // namespace

std::int64_t readTotalMs(const COMMTIMEOUTS& t, DWORD n) {
    if (readReturnsOnAnyByte(t) && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        return t.ReadTotalTimeoutConstant;
    }
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return kNoLimit;
    return bound(t.ReadTotalTimeoutMultiplier, n, t.ReadTotalTimeoutConstant);
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
    return bound(t.WriteTotalTimeoutMultiplier, n, t.WriteTotalTimeoutConstant);
}

std::int64_t DrainWatch::stallMs(DWORD rate) {
    // A character is ten bits on the line (start, eight data, stop) at most
    // rates in use; a rate of 0 is taken as 1 baud.
    const std::int64_t tenChars = 10 * 10 * 1000 / static_cast<std::int64_t>(rate > 0 ? rate : 1);
    return tenChars > 1000 ? tenChars : 1000;
}

DrainWatch::DrainWatch(DWORD rate, std::int64_t nowMs, int queued)
    : stall_(stallMs(rate)), lastDrop_(nowMs), lowest_(queued) {}

bool DrainWatch::keepWaiting(std::int64_t nowMs, int queued) {
    if (queued <= 0) return false;
    if (queued < lowest_) {
        lowest_ = queued;
        lastDrop_ = nowMs;
    }
    return nowMs - lastDrop_ < stall_;
}

}  // namespace velk
