// The network device's data path: ReadFile serves the receive queue and tops
// it up from the socket; WriteFile hands every byte to the socket (escaped by
// the engine on rfc2217:// ports), waiting while the server or an XOFF holds
// the transmit side. Both keep the handle's time-outs by the tty's rules
// (common/deadline.h).
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "device/net/net_connection.h"
#include "device/common/deadline.h"

namespace velk {

using net::current;
using net::flushOut;
using net::lose;
using net::nowMs;
using net::pump;
using net::waitSocket;

// Reads under the handle's time-outs, by the rules the tty keeps
// (common/deadline.h), serving the receive queue and topping it up from the
// socket.
BOOL NetDevice::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    if (got != nullptr) *got = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (got == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    std::unique_lock<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
    unsigned char* out = static_cast<unsigned char*>(buf);
    const COMMTIMEOUTS t = s->timeouts;
    const bool anyByte = readReturnsOnAnyByte(t);
    const std::int64_t start = nowMs();
    std::int64_t lastByte = start;
    DWORD count = 0;
    for (;;) {
        if (s->rx.size() < n - count) pump(*s);
        const DWORD took = s->rx.pop(out + count, n - count);
        if (took > 0) {
            count += took;
            lastByte = nowMs();
            s->queriesSinceTake = 0;
        }
        if (count == n || (anyByte && count > 0)) break;
        if (s->lostErr != 0) {
            if (count > 0) break;
            return fail(s->lostErr);
        }
        if (took > 0) continue;
        const std::int64_t now = nowMs();
        const std::int64_t wait = readWaitMs(t, n, count, now - start, now - lastByte);
        if (wait == 0) break;
        if (!waitSocket(*s, lock, s->engine.pendingOutput() > 0 ? POLLIN | POLLOUT : POLLIN, wait)) {
            return fail(EBADF);
        }
    }
    *got = count;
    return 1;
}

// Every byte handed to the socket (escaped for rfc2217), waiting while the
// server has suspended our output or the socket is full; with write time-outs
// set the write ends when they expire, reporting the bytes taken. A transmit
// purge ends it (ECANCELED).
BOOL NetDevice::WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    if (written != nullptr) *written = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (written == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    std::unique_lock<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
    const unsigned aborts = s->txAborts.load(std::memory_order_acquire);
    const unsigned char* in = static_cast<const unsigned char*>(buf);
    const std::int64_t total = writeTotalMs(s->timeouts, n);
    const bool limited = total != kNoLimit;
    const std::int64_t deadline = limited ? nowMs() + total : 0;
    DWORD count = 0;
    for (;;) {
        pump(*s);
        if (s->txAborts.load(std::memory_order_acquire) != aborts) {
            *written = count;
            return fail(kErrOperationAborted);
        }
        if (s->lostErr != 0) {
            *written = count;
            return fail(s->lostErr);
        }
        const bool held = s->localHold || (s->kind == NetKind::Rfc2217 && s->engine.suspended());
        if (count == n && s->engine.pendingOutput() == 0) break;
        short events = POLLIN;
        if (!held && count < n) {
            if (s->kind == NetKind::Socket) {
                const ssize_t r = ::send(s->fd, in + count, n - count, net::kSendFlags);
                if (r > 0) {
                    count += static_cast<DWORD>(r);
                    s->outPending = true;
                    continue;
                }
                if (r < 0 && errno == EINTR) continue;
                if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    lose(*s, errno);
                    continue;
                }
                events |= POLLOUT;
            } else {
                const std::size_t before = s->engine.pendingOutput();
                const DWORD took = static_cast<DWORD>(s->engine.sendData(in + count, n - count));
                count += took;
                flushOut(*s);
                if (took > 0 || s->engine.pendingOutput() < before) continue;
                if (s->engine.pendingOutput() > 0) events |= POLLOUT;
            }
        } else if (s->engine.pendingOutput() > 0) {
            events |= POLLOUT;
        }
        if (count == n && s->engine.pendingOutput() == 0) break;
        std::int64_t wait = -1;
        if (limited) {
            wait = deadline - nowMs();
            if (wait <= 0) break;
        }
        // Held: look again now and then, so that a purge from another thread
        // ends the wait even when the server sends nothing.
        if (held && (wait < 0 || wait > 50)) wait = 50;
        if (!waitSocket(*s, lock, events, wait)) {
            *written = count;
            return fail(EBADF);
        }
    }
    *written = count;
    return 1;
}

}  // namespace velk
