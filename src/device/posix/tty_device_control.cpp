// The tty kind's settings, status and modem lines: time-outs, the line state
// through termios, the queue sizes, DTR, RTS and break, the queue counts and
// line errors of ClearCommError, and the purges (see tty_device.h).
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "device/common/driver_rules.h"
#include "device/posix/line_counters.h"
#include "device/posix/tty_device.h"
#include "device/posix/tty_rate.h"

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace velk {

namespace {

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

}  // namespace

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
        if (s->queriesSinceTake >= kQueriesToFetch) return query(s, -1, errors, stat);
    } else {
        int avail = -1;  // left so when the request fails: query asks again
        if (bytesWaiting(s->fd, &avail) != 0 || avail != 0) return query(s, avail, errors, stat);
    }
    if (s->queriesSinceTake < kQueriesToFetch) ++s->queriesSinceTake;
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
    if (s->queriesSinceTake >= kQueriesToFetch || s->rx.empty()) {
        // A hung-up tty fails the fetch with EIO, which is how a polling
        // caller learns that the device is gone.
        err = fetch(*s, avail);
        if (err == 0 && s->rx.full()) extra = avail;
    }
    // The driver's error counters are read at every query but the first
    // after a take, which leaves them to the next: a fetch skipped for the
    // queue's sake must not hold back a line error as well.
    if (s->queriesSinceTake >= 1 || s->rx.empty()) {
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
    if (s->queriesSinceTake < kQueriesToFetch) ++s->queriesSinceTake;
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
        s->queriesSinceTake = kQueriesToFetch;
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
