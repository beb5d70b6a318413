// The network kind's wait for input: the socket is the descriptor, and while
// a wait sleeps on it, what the server sends is read and run through the
// engine as every other call does (pump), so that protocol traffic without
// data -- answers, notifications, NOPs -- is taken in and the wait goes on.
// Each wake-up reads what has arrived; a message wakes the wait at most
// once, and nothing spins.
#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "device/net/net_connection.h"

namespace velk {

BOOL NetDevice::WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (ready == nullptr) return fail(EINVAL);
    *ready = 0;
    std::unique_lock<std::mutex> lock(s->mu);
    if (!net::current(*s, h)) return fail(EBADF);
    const std::int64_t deadline = timeoutMs > 0 ? net::nowMs() + timeoutMs : 0;
    for (;;) {
        // Staged data first, then what the socket holds: a lost connection
        // is news too (the next read reports it once the queue is empty).
        if (s->rx.empty()) net::pump(*s);
        if (!s->rx.empty() || s->lostErr != 0) {
            *ready = 1;
            return 1;
        }
        std::int64_t wait = -1;
        if (timeoutMs >= 0) {
            wait = timeoutMs == 0 ? 0 : deadline - net::nowMs();
            if (wait <= 0) return 1;
        }
        const short events = s->engine.pendingOutput() > 0 ? POLLIN | POLLOUT : POLLIN;
        if (!net::waitSocket(*s, lock, events, wait)) return fail(EBADF);
    }
}

BOOL NetDevice::ReceiveDescriptor(DevHandle h, int* fd) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (fd == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!net::current(*s, h)) return fail(EBADF);
    *fd = s->fd;
    return 1;
}

}  // namespace velk
