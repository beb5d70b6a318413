// The TCP connection under a network port (see net_connection.h): connecting
// with a bounded time-out, the socket options, and the traffic between the
// socket, the RFC 2217 engine and the receive queue.
#include "device/net/net_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#if defined(__linux__)
#include <linux/sockios.h>
#endif

namespace velk {
namespace net {

using rfc2217::Engine;

std::int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

namespace {

int pollMs(std::int64_t waitMs) {
    return waitMs < 0 ? -1 : (waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
}

bool roomToRead(const NetDevice::Slot& s) {
    return s.rx.space() > 0 || s.staging.space() > 0;
}

}  // namespace

short pollSocket(int fd, short events, std::int64_t waitMs, bool endOnFin) {
#ifdef POLLRDHUP
    if (endOnFin) events = static_cast<short>(events | POLLRDHUP);
#else
    (void)endOnFin;  // the FIN is seen when it is read
#endif
    struct pollfd p = {fd, events, 0};
    return ::poll(&p, 1, pollMs(waitMs)) > 0 ? p.revents : 0;
}

int endedWith(int fd, short revents) {
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        return err != 0 ? err : ECONNRESET;
    }
#ifdef POLLRDHUP
    if ((revents & POLLRDHUP) != 0) return ECONNRESET;
#endif
    return 0;
}

bool waitSocket(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, short events, std::int64_t waitMs) {
    // With nowhere to put what arrives, readable input would wake the poll
    // at once, again and again: it is not asked for. The end of the
    // connection still wakes it, the server's FIN included, and ends every
    // wait: nothing can come that would let it go on.
    if (!roomToRead(s)) events = static_cast<short>(events & ~POLLIN);
    const int fd = s.fd;
    const DevHandle before = s.handle.load(std::memory_order_acquire);
    lock.unlock();
    const short revents = pollSocket(fd, events, waitMs, true);
    lock.lock();
    if (s.handle.load(std::memory_order_acquire) != before) return false;
    const int ended = endedWith(fd, revents);
    if (ended != 0) lose(s, ended);
    return true;
}

namespace {

constexpr int kMaxAttempts = 8;
constexpr std::int64_t kAttemptDelayMs = 250;  // RFC 8305's Connection Attempt Delay

// Starts a connection to one address; the socket, or -1 with *err set.
// *done tells whether it connected at once.
int startConnect(const struct addrinfo* ai, int* err, bool* done) {
    *done = false;
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
#else
    // Where socket() takes no such flags (macOS), fcntl sets them at once.
    int fd = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd >= 0 && (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
                    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)) {
        const int e = errno;
        ::close(fd);
        errno = e;
        fd = -1;
    }
#endif
    if (fd < 0) {
        *err = errno;
        return -1;
    }
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
        *done = true;
    } else if (errno != EINPROGRESS && errno != EINTR) {
        *err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

void setOptions(int fd, const NetUrl& url) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanishes without closing (power or link lost) while the
    // line is idle is noticed as ETIMEDOUT after the idle time and three
    // unanswered probes (10 + 3 * 5 = 25 s by default), instead of reading
    // as "no data" forever.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    int idle = static_cast<int>(url.keepaliveS);
    int interval = idle / 2 > 0 ? idle / 2 : 1;
    int count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
    // No user time-out unless asked for: a server that holds its window
    // shut (its serial side held off by flow control) is alive, however long.
#ifdef TCP_USER_TIMEOUT
    if (url.userTimeoutMs > 0) {
        unsigned ms = url.userTimeoutMs;
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms);
    }
#endif
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
    // The addresses, the families taking turns (the resolver's order kept
    // within each).
    const struct addrinfo* order[kMaxAttempts];
    int count = 0;
    const int firstFamily = list->ai_family;
    const struct addrinfo* a = list;  // of the first family
    const struct addrinfo* b = list;  // of the others
    while (count < kMaxAttempts && (a != nullptr || b != nullptr)) {
        while (a != nullptr && a->ai_family != firstFamily) a = a->ai_next;
        if (a != nullptr) {
            order[count++] = a;
            a = a->ai_next;
        }
        while (b != nullptr && b->ai_family == firstFamily) b = b->ai_next;
        if (b != nullptr && count < kMaxAttempts) {
            order[count++] = b;
            b = b->ai_next;
        }
    }

    const std::int64_t deadline = nowMs() + url.connectTimeoutMs;
    struct pollfd active[kMaxAttempts];
    int nActive = 0;
    int next = 0;
    std::int64_t nextStart = 0;
    int fd = -1;
    *err = EHOSTUNREACH;
    while (fd < 0) {
        const std::int64_t now = nowMs();
        if (next < count && (nActive == 0 || now >= nextStart)) {
            bool done = false;
            const int c = startConnect(order[next++], err, &done);
            if (c >= 0 && done) {
                fd = c;
                break;
            }
            if (c >= 0) {
                active[nActive++] = pollfd{c, POLLOUT, 0};
                nextStart = now + kAttemptDelayMs;
            }
            continue;
        }
        if (nActive == 0) break;  // every address failed: *err is the last failure
        const std::int64_t left = deadline - now;
        if (left <= 0) {
            *err = ETIMEDOUT;
            break;
        }
        std::int64_t wait = left;
        if (next < count && nextStart - now < wait) wait = nextStart - now;
        const int r = ::poll(active, static_cast<nfds_t>(nActive), pollMs(wait));
        if (r < 0 && errno != EINTR) {
            *err = errno;
            break;
        }
        for (int i = 0; i < nActive && fd < 0; ++i) {
            if (active[i].revents == 0) continue;
            int soErr = 0;
            socklen_t len = sizeof soErr;
            if (::getsockopt(active[i].fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
            if (soErr == 0) {
                fd = active[i].fd;
            } else {
                *err = soErr;
                ::close(active[i].fd);
            }
            active[i] = active[--nActive];
            --i;
        }
    }
    for (int i = 0; i < nActive; ++i) ::close(active[i].fd);
    ::freeaddrinfo(list);
    if (fd >= 0) setOptions(fd, url);
    return fd;
}

int unsentBytes(int fd) {
#ifdef SIOCOUTQ
    int n = 0;
    if (::ioctl(fd, SIOCOUTQ, &n) == 0 && n > 0) return n;
#else
    (void)fd;
#endif
    return 0;
}

void sampleRtt(NetDevice::Slot& s, std::int64_t us) {
    if (us < 1) us = 1;
    if (s.rttSamples++ == 0) {
        s.srttUs = us;
        s.rttvarUs = us / 2;
        return;
    }
    const std::int64_t delta = s.srttUs > us ? s.srttUs - us : us - s.srttUs;
    s.rttvarUs = (3 * s.rttvarUs + delta) / 4;
    s.srttUs = (7 * s.srttUs + us) / 8;
}

std::int64_t ackWaitMs(const NetDevice::Slot& s) {
    const std::int64_t cap = s.ackTimeoutMs;
    if (s.rttSamples == 0) return cap;
    std::int64_t ms = (2 * s.srttUs + 4 * s.rttvarUs + 999) / 1000;
    if (ms < kAckFloorMs) ms = kAckFloorMs;
    return ms < cap ? ms : cap;
}

void lose(NetDevice::Slot& s, int err) {
    if (s.lostErr == 0) s.lostErr = err;
}

// Sends what the engine holds, as far as the socket takes it now.
void flushOut(NetDevice::Slot& s) {
    Engine& e = s.engine;
    while (e.pendingOutput() > 0 && s.lostErr == 0) {
        const ssize_t r = ::send(s.fd, e.output(), e.outputSize(), kSendFlags);
        if (r > 0) {
            e.consumeOutput(static_cast<std::size_t>(r));
            s.outPending = true;
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

void moveStaged(NetDevice::Slot& s) {
    while (!s.staging.empty()) {
        const RxQueue::Region r = s.rx.writable();
        if (r.size == 0) return;
        s.rx.commit(s.staging.pop(r.data, r.size));
    }
}

// Moves staged data into the queue, then what the socket holds into the
// queue and the staging area, in order, within the budget.
void pump(NetDevice::Slot& s) {
    moveStaged(s);
    std::size_t budget = kPumpBudget;
    bool got = false;
    while (budget > 0) {
        const std::size_t room = std::size_t(s.rx.space()) + s.staging.space();
        if (room == 0) break;
        ssize_t r;
        const RxQueue::Region region = s.rx.writable();
        if (s.kind == NetKind::Socket && s.staging.empty() && region.size > 0) {
            // Straight into the queue.
            const std::size_t want = region.size < budget ? region.size : budget;
            r = ::recv(s.fd, region.data, want, MSG_DONTWAIT);
            if (r > 0) s.rx.commit(static_cast<std::uint32_t>(r));
        } else {
            std::size_t want = sizeof s.raw;
            if (want > room) want = room;
            if (want > budget) want = budget;
            r = ::recv(s.fd, s.raw, want, MSG_DONTWAIT);
            if (r > 0) {
                // The data is never longer than what carried it, so the
                // engine writes it in place, and it fits the room read for.
                std::size_t n = static_cast<std::size_t>(r);
                if (s.kind == NetKind::Rfc2217) s.engine.receive(s.raw, n, s.raw, &n);
                const std::uint32_t len = static_cast<std::uint32_t>(n);
                const std::uint32_t queued = s.staging.empty() ? s.rx.push(s.raw, len) : 0;
                s.staging.push(s.raw + queued, len - queued);
            }
        }
        if (r > 0) {
            got = true;
            budget -= static_cast<std::size_t>(r);
            continue;
        }
        if (r == 0) {
            lose(s, ECONNRESET);  // closed by the server
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lose(s, errno);
        }
        break;  // everything there was, or the end
    }
#ifdef TCP_QUICKACK
    // Acknowledge at once: a server that sends small pieces under Nagle's
    // rule would otherwise wait for our delayed ACK (40 ms) before each next
    // piece. Linux clears the flag as it likes, so it is set again after
    // each refill that brought bytes.
    if (got && s.lostErr == 0) {
        int one = 1;
        ::setsockopt(s.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
#else
    (void)got;
#endif
    flushOut(s);
}

// Sends the engine's output completely, waiting up to waitMs.
int flushAll(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::int64_t waitMs) {
    const std::int64_t deadline = nowMs() + waitMs;
    for (;;) {
        pump(s);
        if (s.lostErr != 0) return s.lostErr;
        if (s.engine.pendingOutput() == 0) return 0;
        const std::int64_t left = deadline - nowMs();
        if (left <= 0) return ETIMEDOUT;
        if (!waitSocket(s, lock, POLLIN | POLLOUT, left)) return EBADF;
    }
}

void closeGracefully(NetDevice::Slot& s, std::int64_t waitMs) {
    const std::int64_t deadline = nowMs() + waitMs;
    Engine& e = s.engine;
    // What is left goes as far as the server takes it in time. Only an error
    // or a hang-up ends this early: a server that has sent its FIN may still
    // read what we send.
    while (s.lostErr == 0 && e.pendingOutput() > 0) {
        flushOut(s);
        const std::int64_t left = deadline - nowMs();
        if (e.pendingOutput() == 0 || left <= 0) break;
        const short revents = pollSocket(s.fd, POLLOUT, left, false);
        if ((revents & (POLLERR | POLLHUP)) != 0) lose(s, endedWith(s.fd, revents));
    }
    if (s.lostErr == 0 && ::shutdown(s.fd, SHUT_WR) == 0) {
        // Closing with unread input would send RST and drop what the socket
        // has not yet sent: the input is read and dropped until the server
        // ends its side, or until it has everything and stays quiet. A
        // server that sends without pause is read until the deadline, which
        // every pass checks.
        for (;;) {
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) break;
            const ssize_t r = ::recv(s.fd, s.raw, sizeof s.raw, MSG_DONTWAIT);
            if (r > 0) continue;
            if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
            // Acknowledgements wake no poll: the queue is looked at every
            // 10 ms; once it is empty, a quiet line ends the wait. POLLIN
            // comes with the server's FIN, a hang-up or an error too.
            const bool acked = unsentBytes(s.fd) == 0;
            const short ready = pollSocket(s.fd, POLLIN, left < 10 ? left : (acked ? 5 : 10), false);
            if (acked && ready == 0) break;
        }
    }
    ::close(s.fd);
    s.fd = -1;
}

}  // namespace net
}  // namespace velk
