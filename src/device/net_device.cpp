// The network device (see net_device.h): a non-blocking TCP socket per open
// port, the RFC 2217 engine for rfc2217:// ports, and the receive queue that
// every call tops up from the socket. Waits sleep in poll with the slot's lock
// released, so that a purge from another thread can end a write held by the
// server's flow control.
#include "device/net_device.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "device/backend_common.h"
#include "device/net_url.h"
#include "device/posix_deadline.h"
#include "device/rfc2217_engine.h"
#include "device/rx_queue.h"

namespace velk {

using rfc2217::AckKey;
using rfc2217::AckState;
using rfc2217::Engine;

struct NetDevice::Slot {
    std::atomic<DevHandle> handle{kNoDevice};
    bool taken = false;  // opening or open; under tableMutex
    std::mutex mu;       // serialises the operations on this connection
    int fd = -1;
    NetKind kind = NetKind::None;
    unsigned ackTimeoutMs = 0;
    int lostErr = 0;  // the connection's error once it is gone
    bool localHold = false;  // SETXOFF: transmit held as after an XOFF
    std::atomic<unsigned> txAborts{0};  // transmit purges so far
    bool silent[static_cast<int>(AckKey::Count)] = {};  // answers known not to come
    unsigned unanswered = 0;
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    DCB dcb{};
    RxQueue rx;
    Engine engine;
    std::uint8_t raw[4096];
};

namespace {

constexpr int kSlotBits = 5;
constexpr std::uint8_t kLineMask = rfc2217::kLineBreak | rfc2217::kLineFraming | rfc2217::kLineParity |
                                   rfc2217::kLineOverrun;
constexpr std::uint8_t kModemMask = rfc2217::kModemDcd | rfc2217::kModemRi | rfc2217::kModemDsr | rfc2217::kModemCts;

// How long a request may wait for room to be queued when the socket is full.
constexpr std::int64_t kSendWaitMs = 5000;

NetDevice::Slot* slotTable() {
    static NetDevice::Slot table[NetDevice::kSlots];
    return table;
}
std::mutex tableMutex;  // guards the taking and freeing of slots (not held while connecting)

BOOL fail(int err) {
    return NetDevice::error(err);
}

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

// ---- The connection's traffic, with the slot locked -------------------------

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

// Sends the queued requests and waits, up to the address's acknowledgement
// time-out, for the answers of `keys` (Count entries are skipped). A key left
// unanswered is not waited for again on this connection. Fails with EINVAL
// when an answer refused a value, with the connection's error when it is
// lost; a missing or malformed answer is recorded, not fatal.
BOOL awaitAnswers(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, const AckKey* keys, int n) {
    Engine& e = s.engine;
    for (int i = 0; i < n; ++i) {
        if (keys[i] != AckKey::Count && (s.silent[static_cast<int>(keys[i])] || s.ackTimeoutMs == 0)) {
            e.forget(keys[i]);
        }
    }
    const std::int64_t deadline = nowMs() + s.ackTimeoutMs;
    flushAll(s, lock, s.ackTimeoutMs);
    for (;;) {
        pump(s);
        if (s.lostErr != 0) break;
        bool pending = false;
        for (int i = 0; i < n; ++i) {
            if (keys[i] != AckKey::Count && e.ack(keys[i]) == AckState::Pending) pending = true;
        }
        if (!pending) break;
        const std::int64_t left = deadline - nowMs();
        if (left <= 0) break;
        waitSocket(lock, s.fd, POLLIN, left);
    }
    bool refused = false;
    for (int i = 0; i < n; ++i) {
        if (keys[i] == AckKey::Count) continue;
        const AckState st = e.ack(keys[i]);
        if (st == AckState::Pending) {
            s.silent[static_cast<int>(keys[i])] = true;
            ++s.unanswered;
        }
        if (st == AckState::Refused) refused = true;
        e.forget(keys[i]);
    }
    if (s.lostErr != 0) return fail(s.lostErr);
    return refused ? fail(EINVAL) : 1;
}

// One SET-CONTROL request, answered or not.
BOOL control(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::uint8_t value) {
    if (s.kind != NetKind::Rfc2217) return 1;
    if (!flushAll(s, lock, kSendWaitMs) && s.lostErr == 0) return fail(ETIMEDOUT);
    if (s.lostErr != 0) return fail(s.lostErr);
    s.engine.requestByte(rfc2217::kSetControl, value);
    const AckKey k = Engine::keyOf(rfc2217::kSetControl, &value, 1);
    return awaitAnswers(s, lock, &k, 1);
}

}  // namespace

NetDevice& netDevice() {
    static NetDevice net;
    return net;
}

DeviceKind& netKind() {
    return netDevice();
}

NetDevice::Slot* NetDevice::lookup(DevHandle h) {
    if (h == kNoDevice) return nullptr;
    const DevHandle index = h & ((DevHandle(1) << kSlotBits) - 1);
    if (index >= static_cast<DevHandle>(kSlots)) return nullptr;
    Slot& s = slotTable()[index];
    return s.handle.load(std::memory_order_acquire) == h ? &s : nullptr;
}

// ---- Open and close ----------------------------------------------------------

DevHandle NetDevice::open(int port, const char* address) {
    (void)port;
    NetUrl url;
    if (parseNetUrl(address, &url) != 0) {
        fail(EINVAL);
        return kNoDevice;
    }
    Slot* table = slotTable();
    int index = -1;
    {
        std::lock_guard<std::mutex> tableLock(tableMutex);
        for (int i = 0; i < kSlots && index < 0; ++i) {
            if (!table[i].taken) index = i;
        }
        if (index >= 0) table[index].taken = true;
    }
    if (index < 0) {
        fail(EMFILE);
        return kNoDevice;
    }
    Slot& s = table[index];
    std::unique_lock<std::mutex> lock(s.mu);
    // A failed open gives the slot back.
    const auto giveUp = [&](int code) {
        s.rx.release();
        std::lock_guard<std::mutex> tableLock(tableMutex);
        s.taken = false;
        fail(code);
        return kNoDevice;
    };
    if (!s.rx.reset(0)) return giveUp(ENOMEM);
    int err = 0;
    const int fd = connectTo(url, &err);
    if (fd < 0) return giveUp(err);
    s.fd = fd;
    s.kind = url.kind;
    s.ackTimeoutMs = url.ackTimeoutMs;
    s.lostErr = 0;
    s.localHold = false;
    for (bool& q : s.silent) q = false;
    s.unanswered = 0;
    s.timeouts = COMMTIMEOUTS{};
    s.eventMask = 0;
    s.dcb = driverDefaultDcb();
    s.engine.reset();

    if (url.kind == NetKind::Rfc2217) {
        // Offer the options, wait (bounded) for the server to take Com Port
        // Control, then ask to be told of line errors and modem-line changes.
        s.engine.start();
        const std::int64_t deadline = nowMs() + url.ackTimeoutMs;
        flushAll(s, lock, url.ackTimeoutMs);
        while (s.lostErr == 0 && !s.engine.comPortAccepted() && !s.engine.comPortRefused()) {
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) break;
            waitSocket(lock, fd, POLLIN, left);
            pump(s);
        }
        int openErr = s.lostErr;
        if (openErr == 0 && s.engine.comPortRefused()) openErr = EPROTONOSUPPORT;
        if (openErr == 0) {
            s.engine.requestByte(rfc2217::kSetLineStateMask, kLineMask);
            s.engine.requestByte(rfc2217::kSetModemStateMask, kModemMask);
            if (!flushAll(s, lock, kSendWaitMs)) {
                openErr = s.lostErr != 0 ? s.lostErr : ETIMEDOUT;
            }
        }
        if (openErr != 0) {
            ::close(fd);
            s.fd = -1;
            return giveUp(openErr);
        }
    }

    // A fresh generation in the handle: a stale handle never reaches the
    // slot's next connection.
    unsigned generation = (generation_.fetch_add(1, std::memory_order_relaxed) + 1) & 0xFFFFFFu;
    if (generation == 0) generation = 1;
    const DevHandle h = (static_cast<DevHandle>(generation) << kSlotBits) | static_cast<DevHandle>(index);
    s.handle.store(h, std::memory_order_release);
    return h;
}

BOOL NetDevice::CloseHandle(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    s->handle.store(kNoDevice, std::memory_order_release);
    // Whatever is still queued for the server goes if the socket takes it now.
    if (s->lostErr == 0) flushOut(*s);
    ::close(s->fd);
    s->fd = -1;
    s->rx.release();
    s->engine.reset();
    std::lock_guard<std::mutex> tableLock(tableMutex);
    s->taken = false;
    return 1;
}

bool NetDevice::diagnostics(DevHandle h, Diagnostics* d) {
    Slot* s = h == kNoDevice ? nullptr : lookup(h & (kKindHandleLimit - 1));
    if (s == nullptr || d == nullptr) return false;
    std::lock_guard<std::mutex> lock(s->mu);
    const rfc2217::EngineStats& st = s->engine.stats();
    d->unanswered = s->unanswered;
    d->malformed = st.malformed;
    d->mismatched = st.mismatched;
    d->discarded = st.discardedSubneg;
    std::strncpy(d->signature, s->engine.signature(), sizeof d->signature - 1);
    d->signature[sizeof d->signature - 1] = '\0';
    return true;
}

// ---- Settings ----------------------------------------------------------------

BOOL NetDevice::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    *t = s->timeouts;
    return 1;
}

BOOL NetDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    s->timeouts = *t;
    return 1;
}

BOOL NetDevice::GetCommState(DevHandle h, DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB)) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    *dcb = s->dcb;
    return 1;
}

BOOL NetDevice::SetCommState(DevHandle h, const DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB)) return fail(EINVAL);
    const DCB& d = *dcb;
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) {
        return fail(EINVAL);
    }
    std::unique_lock<std::mutex> lock(s->mu);
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        s->dcb = d;
        return 1;
    }
    // Parity and stop bits in the protocol's numbering.
    static const std::uint8_t kParity[] = {1, 2, 3, 4, 5};    // none, odd, even, mark, space
    static const std::uint8_t kStopSize[] = {1, 3, 2};        // one, one and a half, two
    const std::uint8_t outFlow =
        d.fOutxCtsFlow ? rfc2217::kOutFlowHardware : (d.fOutX ? rfc2217::kOutFlowXonXoff : rfc2217::kOutFlowNone);
    const std::uint8_t inFlow = d.fRtsControl == RTS_CONTROL_HANDSHAKE
                                    ? rfc2217::kInFlowHardware
                                    : (d.fInX ? rfc2217::kInFlowXonXoff : rfc2217::kInFlowNone);
    if (!flushAll(*s, lock, kSendWaitMs) && s->lostErr == 0) return fail(ETIMEDOUT);
    Engine& e = s->engine;
    AckKey keys[8];
    int n = 0;
    auto ask = [&](std::uint8_t command, std::uint8_t value) {
        e.requestByte(command, value);
        keys[n++] = Engine::keyOf(command, &value, 1);
    };
    e.requestBaudRate(d.BaudRate);
    keys[n++] = AckKey::BaudRate;
    ask(rfc2217::kSetDataSize, d.ByteSize);
    ask(rfc2217::kSetParity, kParity[d.Parity]);
    ask(rfc2217::kSetStopSize, kStopSize[d.StopBits]);
    ask(rfc2217::kSetControl, outFlow);
    ask(rfc2217::kSetControl, inFlow);
    if (d.fDtrControl != s->dcb.fDtrControl) {
        ask(rfc2217::kSetControl, d.fDtrControl == DTR_CONTROL_DISABLE ? rfc2217::kDtrOff : rfc2217::kDtrOn);
    }
    if (d.fRtsControl != s->dcb.fRtsControl && d.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        ask(rfc2217::kSetControl, d.fRtsControl == RTS_CONTROL_DISABLE ? rfc2217::kRtsOff : rfc2217::kRtsOn);
    }
    if (!awaitAnswers(*s, lock, keys, n)) return 0;
    s->dcb = d;
    return 1;
}

BOOL NetDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) {
    (void)outQueue;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    // The queue is resized only while empty, so nothing received is lost.
    if (s->rx.empty() && RxQueue::capacityFor(inQueue) != s->rx.capacity() && !s->rx.reset(inQueue)) {
        return fail(ENOMEM);
    }
    return 1;
}

BOOL NetDevice::SetCommMask(DevHandle h, DWORD mask) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    s->eventMask = mask;
    return 1;
}

// ---- Lines, break, status ------------------------------------------------------

BOOL NetDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::unique_lock<std::mutex> lock(s->mu);
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    switch (func) {
    case SETDTR: return control(*s, lock, rfc2217::kDtrOn);
    case CLRDTR: return control(*s, lock, rfc2217::kDtrOff);
    case SETRTS:
    case CLRRTS:
        if (s->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return fail(EINVAL);
        return control(*s, lock, func == SETRTS ? rfc2217::kRtsOn : rfc2217::kRtsOff);
    case SETBREAK: return control(*s, lock, rfc2217::kBreakOn);
    case CLRBREAK: return control(*s, lock, rfc2217::kBreakOff);
    case SETXOFF: s->localHold = true; return 1;
    case SETXON: s->localHold = false; return 1;
    case RESETDEV: return 1;
    default: return fail(EINVAL);
    }
}

BOOL NetDevice::SetCommBreak(DevHandle h) {
    return EscapeCommFunction(h, SETBREAK);
}

BOOL NetDevice::ClearCommBreak(DevHandle h) {
    return EscapeCommFunction(h, CLRBREAK);
}

BOOL NetDevice::GetCommModemStatus(DevHandle h, DWORD* status) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (status == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        *status = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        return 1;
    }
    // The RFC 2217 modem-state bits are the MS_* values; off until notified.
    const std::uint8_t m = s->engine.modemState();
    DWORD ms = 0;
    if (m & rfc2217::kModemCts) ms |= MS_CTS_ON;
    if (m & rfc2217::kModemDsr) ms |= MS_DSR_ON;
    if (m & rfc2217::kModemRi) ms |= MS_RING_ON;
    if (m & rfc2217::kModemDcd) ms |= MS_RLSD_ON;
    *status = ms;
    return 1;
}

BOOL NetDevice::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    pump(*s);
    // Bytes received before the loss are still to be had.
    if (s->lostErr != 0 && s->rx.empty()) return fail(s->lostErr);
    const std::uint8_t line = s->engine.takeLineErrors();
    DWORD flags = 0;
    if (line & rfc2217::kLineBreak) flags |= CE_BREAK;
    if (line & rfc2217::kLineFraming) flags |= CE_FRAME;
    if (line & rfc2217::kLineParity) flags |= CE_RXPARITY;
    if (line & rfc2217::kLineOverrun) flags |= CE_OVERRUN;
    if (errors != nullptr) *errors = flags;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->fXoffHold = (s->engine.suspended() || s->localHold) ? 1 : 0;
        stat->cbInQue = s->rx.size();
        stat->cbOutQue = static_cast<DWORD>(s->engine.outputSize());
    }
    return 1;
}

BOOL NetDevice::PurgeComm(DevHandle h, DWORD flags) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    const bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    if (tx) s->txAborts.fetch_add(1, std::memory_order_acq_rel);  // ends a held write at once
    std::unique_lock<std::mutex> lock(s->mu);
    if (rx) s->rx.clear();
    if (!tx && !rx) return 1;
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        if (rx) s->rx.clear();
        return 1;
    }
    if (!flushAll(*s, lock, kSendWaitMs) && s->lostErr == 0) return fail(ETIMEDOUT);
    s->engine.requestByte(rfc2217::kPurgeData, tx && rx ? 3 : (rx ? 1 : 2));
    const AckKey k = AckKey::Purge;
    const BOOL ok = awaitAnswers(*s, lock, &k, 1);
    // What arrived before the server's answer was sent before it purged.
    if (rx) s->rx.clear();
    return ok;
}

// ---- Data ------------------------------------------------------------------------

// Reads under the handle's time-outs, by the rules the tty keeps
// (posix_deadline.h), serving the receive queue and topping it up from the
// socket.
BOOL NetDevice::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    if (got != nullptr) *got = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (got == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    std::unique_lock<std::mutex> lock(s->mu);
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
        waitSocket(lock, s->fd, s->engine.outputSize() > 0 ? POLLIN | POLLOUT : POLLIN, wait);
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
        if (count == n && s->engine.outputSize() == 0) break;
        short events = POLLIN;
        if (!held && count < n) {
            if (s->kind == NetKind::Socket) {
                const ssize_t r = ::send(s->fd, in + count, n - count, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (r > 0) {
                    count += static_cast<DWORD>(r);
                    continue;
                }
                if (r < 0 && errno == EINTR) continue;
                if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    lose(*s, errno);
                    continue;
                }
                events |= POLLOUT;
            } else {
                const std::size_t before = s->engine.outputSize();
                const DWORD took = static_cast<DWORD>(s->engine.sendData(in + count, n - count));
                count += took;
                flushOut(*s);
                if (took > 0 || s->engine.outputSize() < before) continue;
                if (s->engine.outputSize() > 0) events |= POLLOUT;
            }
        } else if (s->engine.outputSize() > 0) {
            events |= POLLOUT;
        }
        if (count == n && s->engine.outputSize() == 0) break;
        std::int64_t wait = -1;
        if (limited) {
            wait = deadline - nowMs();
            if (wait <= 0) break;
        }
        // Held: look again now and then, so that a purge from another thread
        // ends the wait even when the server sends nothing.
        if (held && (wait < 0 || wait > 50)) wait = 50;
        waitSocket(lock, s->fd, events, wait);
    }
    *written = count;
    return 1;
}

}  // namespace velk
