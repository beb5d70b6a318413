// The TCP connection under a network port (see net_connection.h): connecting
// with a bounded time-out, the socket options, and the traffic between the
// socket, the RFC 2217 engine and the receive queue.
#include "device/net_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace velk {
namespace net {

using rfc2217::Engine;

std::int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Sleeps until the socket has one of `events` or waitMs passes (negative:
// without limit), with the slot's lock released.
void waitSocket(std::unique_lock<std::mutex>& lock, int fd, short events, std::int64_t waitMs) {
    struct pollfd p = {fd, events, 0};
    const int timeout = waitMs < 0 ? -1 : (waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
    lock.unlock();
    ::poll(&p, 1, timeout);
    lock.lock();
}

namespace {

// Connects to one address within the deadline; returns the socket or -1 with
// *err set.
int connectOne(const struct addrinfo* ai, std::int64_t deadline, int* err) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            *err = errno;
            ::close(fd);
            return -1;
        }
        for (;;) {
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) {
                *err = ETIMEDOUT;
                ::close(fd);
                return -1;
            }
            struct pollfd p = {fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r > 0) break;
            if (r < 0 && errno != EINTR) {
                *err = errno;
                ::close(fd);
                return -1;
            }
        }
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
        if (soErr != 0) {
            *err = soErr;
            ::close(fd);
            return -1;
        }
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanishes without closing (power or link lost) is noticed
    // within about 25 s, as ETIMEDOUT, instead of reading as "no data"
    // forever: keep-alive probes after 10 s of silence, and unacknowledged
    // data given up after 30 s.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    int idle = 10, interval = 5, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#ifdef TCP_USER_TIMEOUT
    unsigned userTimeoutMs = 30000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
#endif
    return fd;
}

}  // namespace

int connectTo(const NetUrl& url, int* err) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* list = nullptr;
    const int g = ::getaddrinfo(url.host, url.service, &hints, &list);
    if (g != 0) {
        switch (g) {
        case EAI_SYSTEM: *err = errno != 0 ? errno : EHOSTUNREACH; break;
        case EAI_AGAIN: *err = EAGAIN; break;
        case EAI_MEMORY: *err = ENOMEM; break;
        default: *err = EHOSTUNREACH; break;  // no such host, or no address of a usable family
        }
        return -1;
    }
    const std::int64_t deadline = nowMs() + url.connectTimeoutMs;
    int fd = -1;
    *err = EHOSTUNREACH;
    for (const struct addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = connectOne(ai, deadline, err);
    }
    ::freeaddrinfo(list);
    return fd;
}

void lose(NetDevice::Slot& s, int err) {
    if (s.lostErr == 0) s.lostErr = err;
}

// Sends what the engine holds, as far as the socket takes it now.
void flushOut(NetDevice::Slot& s) {
    Engine& e = s.engine;
    while (e.outputSize() > 0 && s.lostErr == 0) {
        const ssize_t r = ::send(s.fd, e.output(), e.outputSize(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            e.consumeOutput(static_cast<std::size_t>(r));
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            lose(s, r < 0 ? errno : EPIPE);
            e.clearOutput();
        }
    }
}

// Moves what the socket holds into the receive queue (through the engine for
// rfc2217), as far as the queue has room, and sends the engine's replies.
void pump(NetDevice::Slot& s) {
    while (s.lostErr == 0) {
        const RxQueue::Region region = s.rx.writable();
        if (region.size == 0) break;
        ssize_t r;
        if (s.kind == NetKind::Socket) {
            r = ::recv(s.fd, region.data, region.size, MSG_DONTWAIT);
            if (r > 0) s.rx.commit(static_cast<std::uint32_t>(r));
        } else {
            const std::size_t want = region.size < sizeof s.raw ? region.size : sizeof s.raw;
            r = ::recv(s.fd, s.raw, want, MSG_DONTWAIT);
            if (r > 0) {
                std::size_t got = 0;
                s.engine.receive(s.raw, static_cast<std::size_t>(r), region.data, &got);
                s.rx.commit(static_cast<std::uint32_t>(got));
            }
        }
        if (r > 0) {
#ifdef TCP_QUICKACK
            // Acknowledge at once: a server that sends small pieces under
            // Nagle's rule would otherwise wait for our delayed ACK (40 ms)
            // before each next piece. Linux clears the flag as it likes, so
            // it is set again after every read that brought data.
            int one = 1;
            ::setsockopt(s.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
            continue;
        }
        if (r == 0) {
            lose(s, ECONNRESET);  // closed by the server
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lose(s, errno);
        }
        break;
    }
    flushOut(s);
}

// Sends the engine's output completely, waiting up to waitMs.
bool flushAll(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::int64_t waitMs) {
    const std::int64_t deadline = nowMs() + waitMs;
    for (;;) {
        pump(s);
        if (s.engine.outputSize() == 0 || s.lostErr != 0) return s.lostErr == 0;
        const std::int64_t left = deadline - nowMs();
        if (left <= 0) return false;
        waitSocket(lock, s.fd, POLLIN | POLLOUT, left);
    }
}

}  // namespace net
}  // namespace velk
