// The POSIX serial backend: each DeviceApi operation carried out with open,
// flock, termios, the tty ioctls, read, write and poll on the device file
// that the port's mapping names, or handed to the loopback plug's simulated
// device for ports mapped to "loop://". The descriptor stays non-blocking
// with VMIN = 1, so a read of an empty queue gives EAGAIN while end of file
// means the device has hung up; waiting is always done in poll, never by
// spinning. Failures keep their errno for GetLastError on the same thread.
#include "device/posix_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>

#include "device/posix_termios2.h"
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "device/backend_common.h"
#include "device/posix_line_state.h"
#include "device/posix_port_map.h"

namespace velk {

namespace {

thread_local int posixLastError = 0;

constexpr int kSlotBits = 5;  // slot index in the low bits of a handle
static_assert(PosixDevice::kSlots <= (1 << kSlotBits), "slot index must fit its bits");

// The B* codes termios has, by rate; other rates are literal (BOTHER).
struct SpeedCode {
    DWORD rate;
    speed_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool speedCode(DWORD rate, speed_t* code) {
    for (const SpeedCode& s : kSpeeds) {
        if (s.rate == rate) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

[[maybe_unused]] DWORD rateOfCode(speed_t code) {
    for (const SpeedCode& s : kSpeeds) {
        if (s.code == code) return s.rate;
    }
    // Where speed_t is the rate itself (the BSDs, macOS).
    return static_cast<DWORD>(code);
}

std::int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for `events` on fd for up to waitMs (negative: without limit).
// Returns poll's result; EINTR is reported as 0 (nothing yet).
int waitFor(int fd, short events, std::int64_t waitMs, short* revents) {
    struct pollfd p = {fd, events, 0};
    int timeout = waitMs < 0 ? -1 : (waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs));
    int r = ::poll(&p, 1, timeout);
    if (r < 0 && errno == EINTR) return 0;
    *revents = p.revents;
    return r;
}

// The driver's answer when it has no such request: the device lacks the
// feature (ptys have neither modem lines nor error counters).
bool unsupported(int err) {
    return err == ENOTTY || err == EINVAL;
}

}  // namespace

PosixDevice::PosixDevice() = default;

BOOL PosixDevice::fail(int err) {
    posixLastError = err;
    return 0;
}

BOOL PosixDevice::fromLoop(BOOL ok) {
    if (!ok) posixLastError = static_cast<int>(loop_.GetLastError());
    return ok;
}

DWORD PosixDevice::GetLastError() {
    return static_cast<DWORD>(posixLastError);
}

namespace {
inline bool isLoop(DevHandle h) {
    return h != kNoDevice && (h & PosixDevice::kLoopTag) != 0;
}
inline DevHandle untag(DevHandle h) {
    return h & ~PosixDevice::kLoopTag;
}
}  // namespace

PosixDevice::Slot* PosixDevice::lookup(DevHandle h) {
    if (h == kNoDevice || isLoop(h)) return nullptr;
    const DevHandle index = h & ((DevHandle(1) << kSlotBits) - 1);
    if (index >= static_cast<DevHandle>(kSlots)) return nullptr;
    // No lock: one atomic load tells whether the handle is still this
    // slot's (taking and freeing a slot store it under mu_).
    Slot& s = slots_[index];
    return s.handle.load(std::memory_order_acquire) == h ? &s : nullptr;
}

// ---- Open and close --------------------------------------------------------

DevHandle PosixDevice::openLoop(int port) {
    if (!loop_.isOpen(port) && loop_.wiring(port) != SimDevice::Wiring::Loopback) {
        loop_.setLoopback(port);
    }
    char name[] = "COM1";
    name[3] = static_cast<char>('1' + port);
    DevHandle h = loop_.CreateFileA(name);
    if (h == kNoDevice) {
        posixLastError = static_cast<int>(loop_.GetLastError());
        return kNoDevice;
    }
    return h | kLoopTag;
}

DevHandle PosixDevice::CreateFileA(const char* name) {
    const int port = comPortOfName(name);
    if (port < 0) {
        fail(ENOENT);
        return kNoDevice;
    }
    char path[4096];
    int err = portPath(port, path, sizeof path);
    if (err != 0) {
        fail(err);
        return kNoDevice;
    }
    if (std::strcmp(path, kLoopName) == 0) return openLoop(port);

    std::lock_guard<std::mutex> lock(mu_);
    int index = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (slots_[i].handle.load(std::memory_order_relaxed) == kNoDevice) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        fail(EMFILE);
        return kNoDevice;
    }

    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return kNoDevice;
    }
    // From here on a failure closes the file again.
    auto abandon = [&](int code) {
        ::close(fd);
        fail(code);
        return kNoDevice;
    };
    if (!isatty(fd)) return abandon(ENOTTY);
    // Exclusive as a COM port: flock holds against every other open (root's
    // too), TIOCEXCL against other opens of the tty where the system has it.
    // Both before the line state is touched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return abandon(errno == EWOULDBLOCK ? EBUSY : errno);
    }
#ifdef TIOCEXCL
    if (::ioctl(fd, TIOCEXCL) != 0 && !unsupported(errno)) return abandon(errno);
#endif
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return abandon(errno);
    makeRaw(t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        int code = errno;
#ifdef TIOCNXCL
        ::ioctl(fd, TIOCNXCL);
#endif
        return abandon(code);
    }

    Slot& s = slots_[index];
    // The receive queue's storage is the slot's from its first open on; a
    // handle starts with it empty.
    if (s.rx.capacity() == 0 && !s.rx.reset(0)) {
#ifdef TIOCNXCL
        ::ioctl(fd, TIOCNXCL);
#endif
        return abandon(ENOMEM);
    }
    s.rx.clear();
    s.takenSinceQuery = false;
    s.outPending = false;
    s.fd = fd;
    s.timeouts = COMMTIMEOUTS{};
    s.eventMask = 0;
    // The fields termios has no place for start as a driver's defaults
    // (opening a tty raises DTR and RTS).
    s.dcb = driverDefaultDcb();
    s.noCounters = false;
    s.seen = LineCounters{};
#if defined(__linux__) && defined(TIOCGICOUNT)
    // Errors from before the open are not this handle's to report.
    struct serial_icounter_struct ic;
    if (::ioctl(fd, TIOCGICOUNT, &ic) == 0) {
        s.seen = LineCounters{ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    } else if (unsupported(errno)) {
        s.noCounters = true;
    }
#else
    s.noCounters = true;
#endif
    generation_ = (generation_ + 1) & 0xFFFFFFu;
    if (generation_ == 0) generation_ = 1;
    const DevHandle h = (static_cast<DevHandle>(generation_) << kSlotBits) | static_cast<DevHandle>(index);
    s.handle.store(h, std::memory_order_release);
    return h;
}

BOOL PosixDevice::CloseHandle(DevHandle h) {
    if (isLoop(h)) return fromLoop(loop_.CloseHandle(untag(h)));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    int fd = s->fd;
    {
        std::lock_guard<std::mutex> lock(mu_);
        s->handle.store(kNoDevice, std::memory_order_release);
        s->fd = -1;
    }
    // A pty's tty outlives this close while its master is open; leave it
    // open to others again. The flock goes with the descriptor.
#ifdef TIOCNXCL
    ::ioctl(fd, TIOCNXCL);
#endif
    // The descriptor is gone after close whatever it reports; never retried.
    if (::close(fd) != 0 && errno != EINTR) return fail(errno);
    return 1;
}

// ---- Time-outs, line state, queues ------------------------------------------

BOOL PosixDevice::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    if (isLoop(h)) return fromLoop(loop_.GetCommTimeouts(untag(h), t));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    *t = s->timeouts;
    return 1;
}

BOOL PosixDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    if (isLoop(h)) return fromLoop(loop_.SetCommTimeouts(untag(h), t));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    s->timeouts = *t;
    return 1;
}

BOOL PosixDevice::readState(Slot& s, DCB* dcb) {
    struct termios t;
    if (::tcgetattr(s.fd, &t) != 0) return fail(errno);
    DCB d = s.dcb;
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1;
#if defined(__linux__)
    unsigned rate = 0;
    int err = termios2::readRate(s.fd, &rate);
    if (err != 0) return fail(err);
    d.BaudRate = rate;
#else
    d.BaudRate = rateOfCode(cfgetospeed(&t));
#endif
    termiosToLineState(t, d);
    *dcb = d;
    return 1;
}

BOOL PosixDevice::GetCommState(DevHandle h, DCB* dcb) {
    if (isLoop(h)) return fromLoop(loop_.GetCommState(untag(h), dcb));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr) return fail(EINVAL);
    return readState(*s, dcb);
}

BOOL PosixDevice::setLine(Slot& s, int bit, bool on) {
    if (::ioctl(s.fd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) return fail(errno);
    return 1;
}

BOOL PosixDevice::SetCommState(DevHandle h, const DCB* dcb) {
    if (isLoop(h)) return fromLoop(loop_.SetCommState(untag(h), dcb));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr) return fail(EINVAL);
    const DCB& d = *dcb;
    int err = checkLineState(d);
    if (err != 0) return fail(err);

    struct termios t;
    if (::tcgetattr(s->fd, &t) != 0) return fail(errno);
    lineStateToTermios(d, t);
    speed_t code;
    if (speedCode(d.BaudRate, &code)) {
        if (::cfsetispeed(&t, code) != 0 || ::cfsetospeed(&t, code) != 0) return fail(EINVAL);
        if (::tcsetattr(s->fd, TCSANOW, &t) != 0) return fail(errno);
    } else {
#if defined(__linux__)
        // A literal rate goes to the driver in one TCSETS2 request with the
        // rest of the line state, never as BOTHER through tcsetattr.
        termios2::LineFlags f = {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc, NCCS};
        err = termios2::apply(s->fd, f, d.BaudRate);
        if (err != 0) return fail(err);
#else
        // Where speed_t is the rate itself, the driver says whether it can.
        if (::cfsetispeed(&t, static_cast<speed_t>(d.BaudRate)) != 0 ||
            ::cfsetospeed(&t, static_cast<speed_t>(d.BaudRate)) != 0) {
            return fail(EINVAL);
        }
        if (::tcsetattr(s->fd, TCSANOW, &t) != 0) return fail(errno);
#endif
    }

    // A changed control mode sets its line: enable raises it, disable lowers
    // it, handshake hands it to the driver raised. Devices without modem
    // lines have nothing to set.
    const DCB old = s->dcb;
    s->dcb = d;
    if (d.fDtrControl != old.fDtrControl) {
        if (!setLine(*s, TIOCM_DTR, d.fDtrControl != DTR_CONTROL_DISABLE) && !unsupported(posixLastError)) {
            return 0;
        }
    }
    if (d.fRtsControl != old.fRtsControl) {
        if (!setLine(*s, TIOCM_RTS, d.fRtsControl != RTS_CONTROL_DISABLE) && !unsupported(posixLastError)) {
            return 0;
        }
    }
    return 1;
}

BOOL PosixDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) {
    if (isLoop(h)) return fromLoop(loop_.SetupComm(untag(h), inQueue, outQueue));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (s->rx.empty() && !s->rx.reset(inQueue)) return fail(ENOMEM);
    return 1;
}

BOOL PosixDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    if (isLoop(h)) return fromLoop(loop_.EscapeCommFunction(untag(h), func));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    switch (func) {
    case SETDTR:
    case CLRDTR:
        return setLine(*s, TIOCM_DTR, func == SETDTR);
    case SETRTS:
    case CLRRTS:
        if (s->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return fail(EINVAL);
        return setLine(*s, TIOCM_RTS, func == SETRTS);
    case SETBREAK:
        return SetCommBreak(h);
    case CLRBREAK:
        return ClearCommBreak(h);
    case SETXOFF:
        return ::tcflow(s->fd, TCOOFF) == 0 ? 1 : fail(errno);
    case SETXON:
        return ::tcflow(s->fd, TCOON) == 0 ? 1 : fail(errno);
    case RESETDEV:
        return 1;
    default:
        return fail(EINVAL);
    }
}

// Moves what the kernel holds into the receive queue, as far as it has room:
// FIONREAD, and when that finds bytes one read per contiguous free region.
// Returns 0, or the errno of a device that has failed (EIO when it hung up).
int PosixDevice::fetch(Slot& s) {
    int avail = 0;
    if (::ioctl(s.fd, FIONREAD, &avail) != 0) return errno;
    while (avail > 0) {
        const RxQueue::Region r = s.rx.writable();
        if (r.size == 0) break;
        ssize_t got = ::read(s.fd, r.data, r.size);
        if (got > 0) {
            s.rx.commit(static_cast<DWORD>(got));
            avail -= static_cast<int>(got);
        } else if (got == 0) {
            return EIO;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        }
    }
    return 0;
}

BOOL PosixDevice::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    if (isLoop(h)) return fromLoop(loop_.ClearCommError(untag(h), errors, stat));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    // A hung-up tty fails the fetch (EIO), which is how a polling caller
    // learns that the device is gone, once it has taken what came before.
    const bool fresh = !s->takenSinceQuery || s->rx.empty();
    s->takenSinceQuery = false;
    int err = fresh ? fetch(*s) : 0;
    int extra = 0;
    if (err == 0 && s->rx.full() && ::ioctl(s->fd, FIONREAD, &extra) != 0) err = errno;
    int out = 0;
    if (err == 0 && s->outPending) {
        if (::ioctl(s->fd, TIOCOUTQ, &out) != 0) {
            err = errno;
        } else if (out <= 0) {
            s->outPending = false;
        }
    }
    DWORD flags = 0;
#if defined(__linux__) && defined(TIOCGICOUNT)
    if (err == 0 && fresh && !s->noCounters) {
        struct serial_icounter_struct ic;
        if (::ioctl(s->fd, TIOCGICOUNT, &ic) == 0) {
            const LineCounters now{ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
            flags = lineErrorsBetween(s->seen, now);
            s->seen = now;
        } else if (unsupported(errno)) {
            s->noCounters = true;  // never asked again on this handle
        } else {
            err = errno;
        }
    }
#endif
    // The bytes already queued are delivered before a failure is reported.
    if (err != 0 && s->rx.empty()) return fail(err);
    if (err != 0) extra = out = 0;
    if (errors != nullptr) *errors = flags;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = s->rx.size() + static_cast<DWORD>(extra < 0 ? 0 : extra);
        stat->cbOutQue = static_cast<DWORD>(out < 0 ? 0 : out);
    }
    return 1;
}

BOOL PosixDevice::SetCommMask(DevHandle h, DWORD mask) {
    if (isLoop(h)) return fromLoop(loop_.SetCommMask(untag(h), mask));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    s->eventMask = mask;
    return 1;
}

BOOL PosixDevice::PurgeComm(DevHandle h, DWORD flags) {
    if (isLoop(h)) return fromLoop(loop_.PurgeComm(untag(h), flags));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    const bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    if (!tx && !rx) return 1;
    const int which = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
    if (rx) {
        s->rx.clear();
        s->takenSinceQuery = false;
    }
    if (::tcflush(s->fd, which) != 0) return fail(errno);
    if (tx) s->outPending = false;
    return 1;
}

// ---- Data ------------------------------------------------------------------

// Windows' read time-outs: ReadIntervalTimeout = MAXDWORD with both totals 0
// returns at once with what has arrived; MAXDWORD with the multiplier
// MAXDWORD waits up to the constant for the first byte and returns as soon as
// any has come; otherwise the totals (multiplier * n + constant, when either
// is set) bound the whole read and a nonzero interval bounds the gap between
// bytes once the first has come; all zero waits for all n bytes.
BOOL PosixDevice::readLoop(Slot& s, unsigned char* buf, DWORD n, DWORD count, DWORD* got) {
    const COMMTIMEOUTS t = s.timeouts;
    const bool anyByte = t.ReadIntervalTimeout == MAXDWORD;
    const bool totalSet = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    std::int64_t totalMs = 0;
    if (anyByte && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        totalMs = t.ReadTotalTimeoutConstant;
    } else if (totalSet) {
        totalMs = static_cast<std::int64_t>(t.ReadTotalTimeoutMultiplier) * n +
                  static_cast<std::int64_t>(t.ReadTotalTimeoutConstant);
    }
    const std::int64_t start = totalSet || count > 0 ? nowMs() : 0;
    std::int64_t lastByte = start;
    for (;;) {
        ssize_t r = ::read(s.fd, buf + count, n - count);
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
            if (count > 0) break;  // the failure shows at the next call
            *got = 0;
            return fail(errno);
        }
        // The kernel has nothing more: wait as the time-outs say, or return.
        if (anyByte && (count > 0 || !totalSet)) break;
        std::int64_t wait = -1;
        if (totalSet) {
            wait = start + totalMs - nowMs();
            if (wait <= 0) break;
        }
        if (t.ReadIntervalTimeout != 0 && !anyByte && count > 0) {
            std::int64_t gap = lastByte + t.ReadIntervalTimeout - nowMs();
            if (gap <= 0) break;
            if (wait < 0 || gap < wait) wait = gap;
        }
        short revents = 0;
        if (waitFor(s.fd, POLLIN, wait, &revents) < 0) {
            *got = count;
            return fail(errno);
        }
        if (revents & POLLNVAL) {
            *got = count;
            return fail(EBADF);
        }
        // Data, a hang-up or an error: the next read tells which.
    }
    *got = count;
    return 1;
}

BOOL PosixDevice::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    if (isLoop(h)) return fromLoop(loop_.ReadFile(untag(h), buf, n, got));
    if (got != nullptr) *got = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (got == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    const DWORD queued = s->rx.pop(buf, n);
    if (queued > 0) s->takenSinceQuery = true;
    if (queued == n) {
        *got = n;
        return 1;
    }
    return readLoop(*s, static_cast<unsigned char*>(buf), n, queued, got);
}

// The rest of a write without time limit once the driver's queue is full:
// the descriptor is made blocking for one write() that the kernel completes,
// sleeping until the peer has taken the bytes, then made non-blocking again.
// A bulk write on a pty then costs two fcntl() calls and one or two write()s
// instead of a poll() and a write() for every few KiB, and wakes once. Only
// writes that would block pay for the switch; a write the queue has room for
// never gets here.
BOOL PosixDevice::blockingRest(Slot& s, const unsigned char* buf, DWORD n, DWORD count,
                               DWORD* written) {
    const int flags = ::fcntl(s.fd, F_GETFL);
    if (flags < 0 || ::fcntl(s.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *written = count;
        return fail(errno);
    }
    int err = 0;
    while (count < n) {
        ssize_t r = ::write(s.fd, buf + count, n - count);
        if (r > 0) {
            count += static_cast<DWORD>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            err = r < 0 ? errno : EIO;
            break;
        }
    }
    ::fcntl(s.fd, F_SETFL, flags);
    *written = count;
    return err == 0 ? 1 : fail(err);
}

// Every byte handed to the driver: partial writes continue; a full queue is
// waited out in a blocking write when there is no time limit, and in poll
// when write time-outs are set (multiplier * n + constant), in which case the
// write ends when they expire, reporting the bytes taken so far.
BOOL PosixDevice::writeLoop(Slot& s, const unsigned char* buf, DWORD n, DWORD* written) {
    const COMMTIMEOUTS& t = s.timeouts;
    const bool limited = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const std::int64_t deadline =
        limited ? nowMs() + static_cast<std::int64_t>(t.WriteTotalTimeoutMultiplier) * n +
                      static_cast<std::int64_t>(t.WriteTotalTimeoutConstant)
                : 0;
    DWORD count = 0;
    while (count < n) {
        ssize_t r = ::write(s.fd, buf + count, n - count);
        if (r > 0) {
            count += static_cast<DWORD>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *written = count;
            return fail(errno);
        }
        if (!limited) return blockingRest(s, buf, n, count, written);
        const std::int64_t wait = deadline - nowMs();
        if (wait <= 0) break;
        short revents = 0;
        int p = waitFor(s.fd, POLLOUT, wait, &revents);
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

BOOL PosixDevice::WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    if (isLoop(h)) return fromLoop(loop_.WriteFile(untag(h), buf, n, written));
    if (written != nullptr) *written = 0;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (written == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
    if (n == 0) return 1;
    const BOOL ok = writeLoop(*s, static_cast<const unsigned char*>(buf), n, written);
    if (*written > 0) s->outPending = true;
    return ok;
}

// ---- Modem lines and break -------------------------------------------------

BOOL PosixDevice::GetCommModemStatus(DevHandle h, DWORD* status) {
    if (isLoop(h)) return fromLoop(loop_.GetCommModemStatus(untag(h), status));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (status == nullptr) return fail(EINVAL);
    int bits = 0;
    if (::ioctl(s->fd, TIOCMGET, &bits) != 0) return fail(errno);
    DWORD ms = 0;
    if (bits & TIOCM_CTS) ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR) ms |= MS_DSR_ON;
    if (bits & TIOCM_RNG) ms |= MS_RING_ON;
    if (bits & TIOCM_CAR) ms |= MS_RLSD_ON;
    *status = ms;
    return 1;
}

BOOL PosixDevice::SetCommBreak(DevHandle h) {
    if (isLoop(h)) return fromLoop(loop_.SetCommBreak(untag(h)));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    return ::ioctl(s->fd, TIOCSBRK) == 0 ? 1 : fail(errno);
}

BOOL PosixDevice::ClearCommBreak(DevHandle h) {
    if (isLoop(h)) return fromLoop(loop_.ClearCommBreak(untag(h)));
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    return ::ioctl(s->fd, TIOCCBRK) == 0 ? 1 : fail(errno);
}

// The library's device on POSIX systems, constructed on first use.
DeviceApi& platformDevice() {
    static PosixDevice posix;
    return posix;
}

}  // namespace velk
