// The tty kind of the POSIX library: each DeviceApi operation carried out with
// open, flock, termios, the tty ioctls, read, write and poll on the device
// file that the port's mapping names. The descriptor stays non-blocking with
// VMIN = 1, so a read of an empty queue gives EAGAIN while end of file means
// the device has hung up. The data path, ReadFile and WriteFile, is in
// posix_tty_io.cpp.
#include "device/posix_tty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstdint>

#include "device/backend_common.h"
#include "device/posix_counters.h"
#include "device/posix_deadline.h"
#include "device/posix_low_latency.h"

#if defined(__linux__)
#include <sys/syscall.h>

#include "device/posix_termios2.h"
#endif

namespace velk {

namespace {

constexpr unsigned kGenerationMask = 0xFFFFFu;
static_assert(TtyDevice::kSlotBits + 20 < kKindHandleBits, "handles must stay below the routing's bound");

// The driver's answer when it has no such request: the device lacks the
// feature (ptys have neither modem lines nor error counters).
bool unsupported(int err) {
    return err == ENOTTY || err == EINVAL;
}

// Applies t, with the rate `rate`, in one request. Returns 0 or the errno.
int applyTermios(int fd, struct termios& t, DWORD rate) {
    speed_t code;
    if (speedCodeOfRate(rate, &code)) {
        if (::cfsetispeed(&t, code) != 0 || ::cfsetospeed(&t, code) != 0) return EINVAL;
        return ::tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
    }
#if defined(__linux__)
    // A literal rate goes to the driver in one TCSETS2 request with the rest
    // of the line state, never as BOTHER through tcsetattr.
    termios2::LineFlags f = {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc, NCCS};
    return termios2::apply(fd, f, rate);
#else
    // Where speed_t is the rate itself, the driver says whether it can.
    if (::cfsetispeed(&t, static_cast<speed_t>(rate)) != 0 ||
        ::cfsetospeed(&t, static_cast<speed_t>(rate)) != 0) {
        return EINVAL;
    }
    return ::tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
#endif
}

// The rate the driver holds. Returns 0 or the errno.
int readRate(int fd, const struct termios& t, DWORD* rate) {
#if defined(__linux__)
    unsigned r = 0;
    const int err = termios2::readRate(fd, &r);
    // Where the request itself is missing (an emulator, a sandbox that
    // filters it), or the driver leaves the rate field empty, the speed code
    // of termios says the rate: standard rates keep working, literal ones
    // are refused when set.
    if ((err == ENOSYS || err == ENOTTY || err == EINVAL) || (err == 0 && r == 0)) {
        *rate = rateOfSpeedCode(cfgetospeed(&t));
        return 0;
    }
    *rate = r;
    return err;
#else
    (void)fd;
    *rate = rateOfSpeedCode(cfgetospeed(&t));
    return 0;
#endif
}

// FIONREAD: the bytes the kernel holds for fd in *avail. Returns 0, or -1
// with errno. On x86-64 Linux the request is made with the syscall
// instruction in place: an empty poll is this one request, and the C
// library's wrapper around it (a jump through the PLT, and a return after the
// system call that the processor mispredicts) measured more than all the
// instructions of the library's own path. ioctl() is no cancellation point
// and this request has no compatibility handling in the C library, so
// nothing else differs. Elsewhere ioctl() itself.
int bytesWaiting(int fd, int* avail) {
#if defined(__linux__) && defined(__x86_64__) && !defined(__ILP32__)
    long r;
    __asm__ volatile("syscall"
                     : "=a"(r)
                     : "0"(static_cast<long>(SYS_ioctl)), "D"(static_cast<long>(fd)),
                       "S"(static_cast<long>(FIONREAD)), "d"(avail)
                     : "rcx", "r11", "memory");
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return 0;
#else
    return ::ioctl(fd, FIONREAD, avail);
#endif
}

std::int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How often a close looks at the output queue while it drains.
constexpr int kDrainStepMs = 20;

}  // namespace

DeviceKind& ttyKind() {
    static TtyDevice tty;
    return tty;
}

// ---- Open and close --------------------------------------------------------

DevHandle TtyDevice::open(int /*port*/, const char* path) {
    std::lock_guard<std::mutex> lock(mu_);
    int index = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (slots_[i].handle.load(std::memory_order_relaxed) == kNoDevice) {
            index = i;
            break;
        }
    }
    if (index < 0) return fail(EMFILE), kNoDevice;

    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno), kNoDevice;
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
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return abandon(errno == EWOULDBLOCK ? EBUSY : errno);
#ifdef TIOCEXCL
    if (::ioctl(fd, TIOCEXCL) != 0 && !unsupported(errno)) return abandon(errno);
#endif
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return abandon(errno);
    makeRaw(t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        const int code = errno;
#ifdef TIOCNXCL
        ::ioctl(fd, TIOCNXCL);
#endif
        return abandon(code);
    }

    Slot& s = slots_[index];
    // The receive queue's storage is the slot's from its first open on (a
    // reopen allocates nothing); each handle starts with the queue empty.
    if (s.rx.capacity() == 0 && !s.rx.reset(0)) {
#ifdef TIOCNXCL
        ::ioctl(fd, TIOCNXCL);
#endif
        return abandon(ENOMEM);
    }
    s.rx.clear();
    s.takenSinceQuery = false;
    s.outPending = false;
    // Received bytes leave a USB adapter at once rather than after its
    // latency timer; not every driver has the mode.
    s.lowLatencySet = lowLatencyOn(fd);
    s.fd = fd;
    s.timeouts = COMMTIMEOUTS{};
    s.eventMask = 0;
    // The fields termios has no place for start as a driver's defaults
    // (opening a tty raises DTR and RTS).
    s.dcb = driverDefaultDcb();
    // Errors from before the open are not this handle's to report.
    s.seen = LineCounters{};
    s.noCounters = unsupported(readLineCounters(fd, &s.seen));
    generation_ = (generation_ + 1) & kGenerationMask;
    if (generation_ == 0) generation_ = 1;
    const DevHandle h = (static_cast<DevHandle>(generation_) << kSlotBits) | static_cast<DevHandle>(index);
    s.handle.store(h, std::memory_order_release);
    return h;
}

int TtyDevice::queuedOutput(int fd) {
    int out = 0;
    return ::ioctl(fd, TIOCOUTQ, &out) == 0 ? out : -1;
}

// Waits for the written bytes to leave while they keep leaving (DrainWatch),
// then discards what is left, so that the driver's close finds its queue
// empty and does not wait out its closing_wait for a peer that holds the
// line. A device that fails the query (gone) is not waited for.
void TtyDevice::drainForClose(Slot& s) {
    if (!s.outPending) return;
    int queued = queuedOutput(s.fd);
    if (queued <= 0) return;
    struct termios t;
    DWORD rate = 0;
    if (::tcgetattr(s.fd, &t) != 0 || readRate(s.fd, t, &rate) != 0) rate = 0;
    DrainWatch watch(rate, monotonicMs(), queued);
    do {
        ::poll(nullptr, 0, kDrainStepMs);
        queued = queuedOutput(s.fd);
    } while (watch.keepWaiting(monotonicMs(), queued));
    if (queued > 0) ::tcflush(s.fd, TCOFLUSH);
}

BOOL TtyDevice::CloseHandle(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    const int fd = s->fd;
    drainForClose(*s);
    if (s->lowLatencySet) lowLatencyOff(fd);
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

BOOL TtyDevice::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    *t = s->timeouts;
    return 1;
}

BOOL TtyDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    s->timeouts = *t;
    return 1;
}

BOOL TtyDevice::readState(Slot& s, DCB* dcb) {
    struct termios t;
    if (::tcgetattr(s.fd, &t) != 0) return fail(errno);
    DCB d = s.dcb;
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1;
    const int err = readRate(s.fd, t, &d.BaudRate);
    if (err != 0) return fail(err);
    termiosToLineState(t, d);
    *dcb = d;
    return 1;
}

BOOL TtyDevice::GetCommState(DevHandle h, DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr) return fail(EINVAL);
    return readState(*s, dcb);
}

int TtyDevice::setModemLine(int fd, int bit, bool on) {
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

BOOL TtyDevice::line(Slot& s, int bit, bool on) {
    const int err = setModemLine(s.fd, bit, on);
    return err == 0 ? 1 : fail(err);
}

BOOL TtyDevice::SetCommState(DevHandle h, const DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr) return fail(EINVAL);
    const DCB& d = *dcb;
    int err = checkLineState(d);
    if (err != 0) return fail(err);

    struct termios before;
    if (::tcgetattr(s->fd, &before) != 0) return fail(errno);
    DWORD rateBefore = 0;
    if ((err = readRate(s->fd, before, &rateBefore)) != 0) return fail(err);
    struct termios t = before;
    lineStateToTermios(d, t);
    if ((err = applyTermios(s->fd, t, d.BaudRate)) != 0) return fail(err);

    // A changed control mode sets its line: enable raises it, disable lowers
    // it, handshake hands it to the driver raised. Devices without modem
    // lines have nothing to set. When a line fails (the device going away),
    // the lines set so far and the termios go back as they were.
    const bool dtrChanged = d.fDtrControl != s->dcb.fDtrControl;
    const bool rtsChanged = d.fRtsControl != s->dcb.fRtsControl;
    const bool dtrOn = d.fDtrControl != DTR_CONTROL_DISABLE;
    const bool rtsOn = d.fRtsControl != RTS_CONTROL_DISABLE;
    bool dtrSet = false;
    if (dtrChanged) {
        err = setModemLine(s->fd, TIOCM_DTR, dtrOn);
        dtrSet = err == 0;
        if (unsupported(err)) err = 0;
    }
    if (err == 0 && rtsChanged) {
        err = setModemLine(s->fd, TIOCM_RTS, rtsOn);
        if (unsupported(err)) err = 0;
    }
    if (err != 0) {
        if (dtrSet) setModemLine(s->fd, TIOCM_DTR, !dtrOn);
        applyTermios(s->fd, before, rateBefore);
        return fail(err);
    }
    s->dcb = d;
    return 1;
}

BOOL TtyDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (s->rx.empty() && !s->rx.reset(inQueue)) return fail(ENOMEM);
    return 1;
}

BOOL TtyDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    switch (func) {
    case SETDTR:
    case CLRDTR:
        return line(*s, TIOCM_DTR, func == SETDTR);
    case SETRTS:
    case CLRRTS:
        if (s->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return fail(EINVAL);
        return line(*s, TIOCM_RTS, func == SETRTS);
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
// FIONREAD (unless avail already holds its answer), and when that finds bytes
// a read per contiguous free region (two at most); avail is left with what
// the kernel still holds. Returns 0, or the errno of a device that failed
// (EIO: hung up).
int TtyDevice::fetch(Slot& s, int& avail) {
    if (avail < 0 && bytesWaiting(s.fd, &avail) != 0) return errno;
    while (avail > 0) {
        const RxQueue::Region r = s.rx.writable();
        if (r.size == 0) break;
        const ssize_t got = ::read(s.fd, r.data, r.size);
        if (got > 0) {
            s.rx.commit(static_cast<DWORD>(got));
            avail = got < avail ? avail - static_cast<int>(got) : 0;
        } else if (got == 0) {
            return EIO;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        }
    }
    return 0;
}

BOOL TtyDevice::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    // The common answers first, with nothing written waiting and no counters
    // to read: a caller taking bytes from the queue (no system call), or an
    // empty poll (one FIONREAD that finds nothing). Anything else, and any
    // failure, takes the whole rule.
    if (s->outPending || !s->noCounters) return query(s, -1, errors, stat);
    if (!s->rx.empty()) {
        if (!s->takenSinceQuery) return query(s, -1, errors, stat);
    } else {
        int avail = -1;  // left so when the request fails: query asks again
        if (bytesWaiting(s->fd, &avail) != 0 || avail != 0) return query(s, avail, errors, stat);
    }
    s->takenSinceQuery = false;
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = s->rx.size();
    }
    return 1;
}

// ClearCommError's whole rule (see posix_tty.h); avail is what FIONREAD has
// just answered, or -1.
BOOL TtyDevice::query(Slot* s, int avail, DWORD* errors, COMSTAT* stat) {
    DWORD flags = 0;
    int extra = 0;  // what the kernel holds beyond a full queue
    int out = 0;
    int err = 0;
    if (!s->takenSinceQuery || s->rx.empty()) {
        // A hung-up tty fails the fetch with EIO, which is how a polling
        // caller learns that the device is gone.
        err = fetch(*s, avail);
        if (err == 0 && s->rx.full()) extra = avail;
        if (err == 0 && !s->noCounters) {
            LineCounters now;
            err = readLineCounters(s->fd, &now);
            if (err == 0) {
                flags = lineErrorsBetween(s->seen, now);
                s->seen = now;
            } else if (unsupported(err)) {
                s->noCounters = true;  // never asked again on this handle
                err = 0;
            }
        }
    }
    s->takenSinceQuery = false;
    if (err == 0 && s->outPending) {
        if (::ioctl(s->fd, TIOCOUTQ, &out) != 0) {
            err = errno;
        } else if (out <= 0) {
            s->outPending = false;
        }
    }
    if (err != 0) {
        // What was queued before the failure is delivered first.
        if (s->rx.empty()) return fail(err);
        extra = out = 0;
    }
    if (errors != nullptr) *errors = flags;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = s->rx.size() + static_cast<DWORD>(extra < 0 ? 0 : extra);
        stat->cbOutQue = static_cast<DWORD>(out < 0 ? 0 : out);
    }
    return 1;
}

BOOL TtyDevice::SetCommMask(DevHandle h, DWORD mask) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    s->eventMask = mask;
    return 1;
}

BOOL TtyDevice::PurgeComm(DevHandle h, DWORD flags) {
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

// ---- Modem lines and break -------------------------------------------------

BOOL TtyDevice::GetCommModemStatus(DevHandle h, DWORD* status) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (status == nullptr) return fail(EINVAL);
    int bits = 0;
    if (::ioctl(s->fd, TIOCMGET, &bits) != 0) return fail(errno);
    *status = modemStatusOfBits(bits);
    return 1;
}

BOOL TtyDevice::SetCommBreak(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    return ::ioctl(s->fd, TIOCSBRK) == 0 ? 1 : fail(errno);
}

BOOL TtyDevice::ClearCommBreak(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    return ::ioctl(s->fd, TIOCCBRK) == 0 ? 1 : fail(errno);
}

}  // namespace velk
