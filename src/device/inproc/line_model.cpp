// The line model of the in-process ports (see line_model.h): the operations,
// each one lock around the work, and the byte-by-byte path from a writer to
// the receiver at the other end of the wire, with its flow-control rules.
#include "device/inproc/line_model.h"

#include "device/common/driver_rules.h"
#include "device/common/handle.h"

namespace velk {

namespace {

bool sameFormat(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits;
}

}  // namespace

LineModel::LineModel(Wiring wiring) {
    for (Port& p : ports_) {
        p.wiring = wiring;
        p.dcb = driverDefaultDcb();
    }
}

// ---- Operations ------------------------------------------------------------

LineModel::Port* LineModel::portOf(DevHandle h) {
    const unsigned slot = handle::slotOf(h);
    if (slot >= static_cast<unsigned>(kPorts)) return nullptr;
    Port& p = ports_[slot];
    return p.open && p.handle == h ? &p : nullptr;
}

DWORD LineModel::live(DevHandle h, Port*& p) {
    p = portOf(h);
    if (p == nullptr) return kErrInvalidHandle;
    if (p->wiring != Wiring::Absent) return 0;
    p = nullptr;
    return kErrGenFailure;  // removed while open: only closing still works
}

DWORD LineModel::open(int port, DevHandle* h) {
    std::lock_guard<std::mutex> lock(mu_);
    *h = kNoDevice;
    if (port < 0 || port >= kPorts || ports_[port].wiring == Wiring::Absent) return kErrFileNotFound;
    Port& p = ports_[port];
    if (p.open) return kErrAccessDenied;
    if (p.rx.capacity() < p.queueSize && !p.rx.reset(p.queueSize)) return kErrNoMemory;
    generation_ = handle::nextGeneration(generation_);
    p.open = true;
    p.handle = handle::make(generation_, port);
    ++p.opens;
    p.errors = 0;
    p.brk = p.xoffReceived = p.xoffSent = p.rtsHeld = false;
    // Opening raises the lines whose control mode says so.
    p.dtr = p.dcb.fDtrControl != DTR_CONTROL_DISABLE;
    p.rts = p.dcb.fRtsControl == RTS_CONTROL_ENABLE || p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    cv_.notify_all();
    *h = p.handle;
    return 0;
}

DWORD LineModel::close(DevHandle h) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = portOf(h);
    if (p == nullptr) return kErrInvalidHandle;
    p->open = false;
    p->handle = kNoDevice;
    p->dtr = p->rts = p->brk = false;
    // What was not read is gone; a closed port takes nothing in, so the next
    // open starts empty.
    p->rx.clear();
    if (p->watched) {
        p->watched = p->inputShown = false;
        endWatch(indexOf(*p));
    }
    ++p->abortGeneration;
    cv_.notify_all();
    return 0;
}

DWORD LineModel::timeouts(DevHandle h, COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (t == nullptr) return kErrInvalidParameter;
    *t = p->timeouts;
    return 0;
}

DWORD LineModel::setTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (t == nullptr) return kErrInvalidParameter;
    p->timeouts = *t;
    return 0;
}

DWORD LineModel::state(DevHandle h, DCB* dcb) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (dcb == nullptr) return kErrInvalidParameter;
    *dcb = p->dcb;
    return 0;
}

DWORD LineModel::setState(DevHandle h, const DCB* dcb) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (dcb == nullptr || !driverAcceptsLineState(*dcb)) return kErrInvalidParameter;
    sendControl(indexOf(*p), applyLineState(*p, *dcb));
    cv_.notify_all();
    return 0;
}

DWORD LineModel::setQueue(DevHandle h, DWORD inQueue) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (inQueue == 0) return 0;  // keeps the driver's size
    const DWORD size = inQueue < kMaxQueue ? inQueue : kMaxQueue;
    if (p->rx.capacity() < size && !p->rx.resize(size)) return kErrNoMemory;
    p->queueSize = size;
    return 0;
}

DWORD LineModel::escape(DevHandle h, DWORD func) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    const bool lineOrReset = func == SETDTR || func == CLRDTR || func == SETRTS || func == CLRRTS || func == RESETDEV;
    if (p->noEscapes && lineOrReset) return kErrGenFailure;
    switch (func) {
    case SETDTR:
    case CLRDTR:
        // Under handshaking the driver owns the line and refuses to be told.
        if (p->dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return kErrInvalidParameter;
        p->dtr = func == SETDTR;
        break;
    case SETRTS:
    case CLRRTS:
        if (p->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return kErrInvalidParameter;
        p->rts = func == SETRTS;
        break;
    case SETBREAK:
    case CLRBREAK:
        breakLocked(indexOf(*p), func == SETBREAK);
        break;
    case SETXOFF:
    case SETXON:
        p->xoffReceived = func == SETXOFF;  // as if the character had arrived
        break;
    case RESETDEV:
        break;
    default:
        return kErrInvalidParameter;
    }
    cv_.notify_all();
    return 0;
}

DWORD LineModel::clearErrors(DevHandle h, DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (errors != nullptr) *errors = p->errors;
    p->errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->fCtsHold = p->dcb.fOutxCtsFlow && (inputsOf(indexOf(*p)) & MS_CTS_ON) == 0;
        stat->fXoffHold = p->dcb.fOutX && p->xoffReceived;
        stat->fXoffSent = p->xoffSent;
        stat->cbInQue = p->rx.size();
        stat->cbOutQue = p->txPending;
    }
    return 0;
}

DWORD LineModel::setEventMask(DevHandle h, DWORD mask) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    p->eventMask = mask;
    return 0;
}

// Never waits, whatever the time-outs: only what has arrived is returned.
DWORD LineModel::read(DevHandle h, void* buf, DWORD n, DWORD* got) {
    std::lock_guard<std::mutex> lock(mu_);
    if (got != nullptr) *got = 0;
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (got == nullptr || (buf == nullptr && n > 0)) return kErrInvalidParameter;
    *got = p->rx.pop(buf, n);
    if (*got > 0) {
        sendControl(indexOf(*p), releaseAfterDrain(*p));
        noteInput(*p);
        cv_.notify_all();
    }
    return 0;
}

DWORD LineModel::write(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    std::unique_lock<std::mutex> lock(mu_);
    if (written != nullptr) *written = 0;
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (written == nullptr || (buf == nullptr && n > 0)) return kErrInvalidParameter;
    const int port = indexOf(*p);
    const unsigned generation = p->abortGeneration;
    const BYTE* in = static_cast<const BYTE*>(buf);
    DWORD count = 0;
    p->txPending += n;
    // Where the bytes go and how they arrive change only while the lock is
    // let go, so they are read again only after a wait.
    Wire wire = wireOf(port);
    while (count < n) {
        if (txHeld(port)) {
            ++p->heldWriters;
            cv_.notify_all();
            cv_.wait(lock, [&] { return p->abortGeneration != generation || !txHeld(port); });
            --p->heldWriters;
            wire = wireOf(port);
        }
        if (p->abortGeneration != generation) {
            // Purged, closed or removed while held: the rest is discarded.
            p->txPending -= n - count;
            *written = count;
            return kErrOperationAborted;
        }
        if (wire.to >= 0) receive(wire.to, in[count] & wire.mask, wire.mismatch);
        ++count;
        --p->txPending;
    }
    *written = count;
    cv_.notify_all();
    return 0;
}

DWORD LineModel::purge(DevHandle h, DWORD flags) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) ++p->abortGeneration;
    if (flags & PURGE_RXCLEAR) {
        p->rx.clear();
        sendControl(indexOf(*p), releaseAfterDrain(*p));
        noteInput(*p);
    }
    cv_.notify_all();
    return 0;
}

DWORD LineModel::modemStatus(DevHandle h, DWORD* status) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    if (status == nullptr) return kErrInvalidParameter;
    *status = inputsOf(indexOf(*p));
    return 0;
}

DWORD LineModel::setBreak(DevHandle h, bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    breakLocked(indexOf(*p), on);
    return 0;
}

DWORD LineModel::watchInput(DevHandle h, int* port) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = nullptr;
    if (const DWORD err = live(h, p)) return err;
    *port = indexOf(*p);
    if (p->watched) return 0;
    if (const DWORD err = startWatch(*port)) return err;
    p->watched = true;
    p->inputShown = false;
    noteInput(*p);
    return 0;
}

DWORD LineModel::startWatch(int) {
    return kErrNotSupported;
}

void LineModel::inputChanged(int, bool) {}

void LineModel::endWatch(int) {}

// ---- The wire --------------------------------------------------------------

// The wire from a port's TX: the sender's data bits travel, in the sender's
// format.
LineModel::Wire LineModel::wireOf(int from) const {
    const DCB& s = ports_[from].dcb;
    Wire w{receiverOf(from), 0xFF, false};
    if (s.ByteSize < 8) w.mask = static_cast<BYTE>((1u << s.ByteSize) - 1);
    if (w.to >= 0 && w.to != from) w.mismatch = !sameFormat(s, ports_[w.to].dcb);
    return w;
}

void LineModel::receive(int port, BYTE b, bool framingError) {
    Port& r = ports_[port];
    if (!r.open) return;
    if (framingError) {
        r.errors |= CE_FRAME;
        if (r.dcb.fParity && r.dcb.Parity != NOPARITY) r.errors |= CE_RXPARITY;
    } else if (r.dcb.fOutX && (b == static_cast<BYTE>(r.dcb.XoffChar) || b == static_cast<BYTE>(r.dcb.XonChar))) {
        r.xoffReceived = b == static_cast<BYTE>(r.dcb.XoffChar);
        return;
    }
    if (r.rx.size() >= r.queueSize) {
        r.errors |= CE_RXOVER;
        return;
    }
    r.rx.push(&b, 1);
    noteInput(r);
    sendControl(port, holdOffWhenFull(r));
}

// XON or XOFF (control >= 0) goes out ahead of data and is never held.
void LineModel::sendControl(int from, int control) {
    if (control < 0) return;
    const Wire wire = wireOf(from);
    if (wire.to >= 0) receive(wire.to, static_cast<BYTE>(control) & wire.mask, wire.mismatch);
}

// Starting a break is seen by the receiving end as CE_BREAK.
void LineModel::breakLocked(int port, bool on) {
    Port& p = ports_[port];
    if (on && !p.brk) {
        const int to = receiverOf(port);
        if (to >= 0 && ports_[to].open) ports_[to].errors |= CE_BREAK;
    }
    p.brk = on;
}

// ---- Flow control ----------------------------------------------------------
// Each rule returns the flow-control byte the port must now send (XON or
// XOFF), or -1 for none.

// A line state applied (already checked): a changed DTR or RTS control mode
// sets that line as the mode says; output XON/XOFF turned off frees the
// transmitter; input XON/XOFF turned off after sending XOFF sends XON, as a
// driver does, so the other end is not held off for good.
int LineModel::applyLineState(Port& p, const DCB& dcb) {
    const DWORD oldDtr = p.dcb.fDtrControl;
    const DWORD oldRts = p.dcb.fRtsControl;
    p.dcb = dcb;
    if (dcb.fDtrControl != oldDtr) p.dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    if (dcb.fRtsControl != oldRts) {
        p.rtsHeld = false;
        p.rts = dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    }
    if (!dcb.fOutX) p.xoffReceived = false;
    if (!dcb.fInX && p.xoffSent) {
        p.xoffSent = false;
        return static_cast<BYTE>(dcb.XonChar);
    }
    return -1;
}

// A byte was queued: hold the sender off once fewer than XoffLim bytes of the
// queue are free (handshake RTS drops; XOFF goes out once).
int LineModel::holdOffWhenFull(Port& p) {
    if (p.queueSize - p.rx.size() >= p.dcb.XoffLim) return -1;
    if (p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !p.rtsHeld) {
        p.rtsHeld = true;
        p.rts = false;
    }
    if (p.dcb.fInX && !p.xoffSent) {
        p.xoffSent = true;
        return static_cast<BYTE>(p.dcb.XoffChar);
    }
    return -1;
}

// Bytes left the queue: release the sender once no more than XonLim wait.
int LineModel::releaseAfterDrain(Port& p) {
    if (p.rx.size() > p.dcb.XonLim) return -1;
    if (p.rtsHeld) {
        p.rtsHeld = false;
        if (p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) p.rts = true;
    }
    if (p.xoffSent) {
        p.xoffSent = false;
        if (p.dcb.fInX) return static_cast<BYTE>(p.dcb.XonChar);
    }
    return -1;
}

}  // namespace velk
