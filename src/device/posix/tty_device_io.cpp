// The data path of the tty kind: ReadFile and WriteFile under the handle's
// time-outs (the rules are in common/deadline.h), and the wait for input. The descriptor is
// non-blocking, so an empty queue reads as EAGAIN and a full one writes as
// EAGAIN; waiting is always done in poll or in one blocking write, never by
// spinning. End of file means the device has hung up.
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "device/common/deadline.h"
#include "device/posix/tty_device.h"

namespace velk {

namespace {

// Waits for `events` on fd for up to waitMs (kNoLimit: without limit).
// Returns poll's result; EINTR is reported as 0 (nothing yet).
int waitFor(int fd, short events, std::int64_t waitMs, short* revents) {
    struct pollfd p = {fd, events, 0};
    int timeout = waitMs < 0 ? -1 : (waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
    int r = ::poll(&p, 1, timeout);
    if (r < 0 && errno == EINTR) return 0;
    *revents = p.revents;
    return r;
}

}  // namespace

std::int64_t TtyDevice::nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---- Data ------------------------------------------------------------------

// count: the bytes already taken from the receive queue into buf.
BOOL TtyDevice::readLoop(Slot& s, unsigned char* buf, DWORD n, DWORD count, DWORD* got) {
    const COMMTIMEOUTS t = s.timeouts;
    const bool anyByte = readReturnsOnAnyByte(t);
    // A read that never waits (the library's own time-outs) needs no clock.
    const bool immediate = readNeverWaits(t);
    const std::int64_t start = immediate ? 0 : nowMs();
    std::int64_t lastByte = start;
    for (;;) {
        const ssize_t r = ::read(s.fd, buf + count, n - count);
        if (r > 0) {
            count += static_cast<DWORD>(r);
            if (count == n || anyByte) break;
            if (t.ReadIntervalTimeout != 0) lastByte = nowMs();
            continue;
        }
        if (r == 0) {
            // End of file on a tty: it has hung up.
            if (count > 0) break;
            return fail(EIO);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (count > 0) break;  // delivered first; the failure shows next time
            return fail(errno);
        }
        // The kernel has nothing more: wait as the time-outs say, or return.
        if (anyByte && (count > 0 || immediate)) break;
        const std::int64_t now = nowMs();
        const std::int64_t wait = readWaitMs(t, n, count, now - start, now - lastByte);
        if (wait == 0) break;
        short revents = 0;
        if (waitFor(s.fd, POLLIN, wait, &revents) < 0) {
            if (count > 0) break;
            return fail(errno);
        }
        if (revents & POLLNVAL) {
            if (count > 0) break;
            return fail(EBADF);
        }
        // Data, a hang-up or an error: the next read tells which.
    }
    *got = count;
    return 1;
}

BOOL TtyDevice::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    if (got != nullptr) *got = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (got == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    // The receive queue first: a one-byte read (SioGetc's) is a look-up and
    // a copy when the queue has bytes.
    auto* out = static_cast<unsigned char*>(buf);
    DWORD queued;
    if (n == 1) {
        const int c = s->rx.popByte();
        queued = c < 0 ? 0 : 1;
        if (c >= 0) *out = static_cast<unsigned char>(c);
    } else {
        queued = s->rx.empty() ? 0 : s->rx.pop(out, n);
    }
    if (queued > 0) s->queriesSinceTake = 0;
    if (queued == n) {
        *got = n;
        return 1;
    }
    // The library's own time-outs: one read of what the kernel has, and an
    // empty kernel queue is the answer. End of file, an interrupted read or
    // a failure go to the loop, whose read meets them again.
    if (readNeverWaits(s->timeouts)) {
        const ssize_t r = ::read(s->fd, out + queued, n - queued);
        if (r > 0 || (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            *got = queued + (r > 0 ? static_cast<DWORD>(r) : 0);
            return 1;
        }
    }
    return readLoop(*s, out, n, queued, got);
}

// The rest of a write without time limit once the driver's queue is full:
// the descriptor is made blocking for one write() that the kernel completes,
// sleeping until the peer has taken the bytes, then made non-blocking again.
// A bulk write on a pty then costs two fcntl() calls and one or two write()s
// instead of a poll() and a write() for every few KiB, and wakes once. Only
// writes that would block pay for the switch. The descriptor's status flags
// are known (open sets O_NONBLOCK alone of those F_SETFL changes), so they
// are not read back first.
BOOL TtyDevice::blockingRest(Slot& s, const unsigned char* buf, DWORD n, DWORD count, DWORD* written) {
    if (::fcntl(s.fd, F_SETFL, 0) != 0) {
        *written = count;
        return fail(errno);
    }
    int err = 0;
    while (count < n) {
        const ssize_t r = ::write(s.fd, buf + count, n - count);
        if (r > 0) {
            count += static_cast<DWORD>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            err = r < 0 ? errno : EIO;
            break;
        }
    }
    ::fcntl(s.fd, F_SETFL, O_NONBLOCK);
    *written = count;
    return err == 0 ? 1 : fail(err);
}

// Every byte handed to the driver: partial writes continue; a full queue is
// waited out in a blocking write when there is no time limit, and in poll
// when write time-outs are set, in which case the write ends when they
// expire (counted from startMs), reporting the bytes taken so far. first is
// the result of the write WriteFile has already made (errno set with it).
BOOL TtyDevice::writeLoop(Slot& s, const unsigned char* buf, DWORD n, ssize_t first, std::int64_t startMs,
                          DWORD* written) {
    const std::int64_t total = writeUnbounded(s.timeouts) ? kNoLimit : writeTotalMs(s.timeouts, n);
    const std::int64_t deadline = total == kNoLimit ? 0 : startMs + total;
    DWORD count = 0;
    for (ssize_t r = first;; r = ::write(s.fd, buf + count, n - count)) {
        if (r > 0) {
            count += static_cast<DWORD>(r);
            if (count == n) break;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *written = count;
            return fail(errno);
        }
        if (total == kNoLimit) return blockingRest(s, buf, n, count, written);
        const std::int64_t wait = deadline - nowMs();
        if (wait <= 0) break;
        short revents = 0;
        const int p = waitFor(s.fd, POLLOUT, wait, &revents);
        if (p < 0) {
            *written = count;
            return fail(errno);
        }
        if (p > 0 && !(revents & POLLOUT) && (revents & (POLLHUP | POLLERR | POLLNVAL))) {
            *written = count;
            return fail((revents & POLLNVAL) ? EBADF : EIO);
        }
    }
    *written = count;
    return 1;
}

BOOL TtyDevice::WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    if (written != nullptr) *written = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (written == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    // The common case first: the driver takes the whole block at once, and
    // no clock is read unless write time-outs are set.
    const auto* bytes = static_cast<const unsigned char*>(buf);
    const std::int64_t startMs = writeUnbounded(s->timeouts) ? 0 : nowMs();
    const ssize_t r = ::write(s->fd, bytes, n);
    if (r == static_cast<ssize_t>(n)) {
        *written = n;
        s->outPending = true;
        return 1;
    }
    const BOOL ok = writeLoop(*s, bytes, n, r, startMs, written);
    if (*written > 0) s->outPending = true;
    return ok;
}

// ---- Waiting for input ------------------------------------------------------

BOOL TtyDevice::WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (ready == nullptr) return fail(EINVAL);
    *ready = 0;
    if (!s->rx.empty()) {
        *ready = 1;
        return 1;
    }
    const int r = waitReadable(s->fd, timeoutMs);
    if (r < 0) return fail(errno);
    *ready = r;
    return 1;
}

BOOL TtyDevice::ReceiveDescriptor(DevHandle h, int* fd) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (fd == nullptr) return fail(EINVAL);
    *fd = s->fd;
    return 1;
}

}  // namespace velk
