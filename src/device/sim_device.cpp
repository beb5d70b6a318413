// The simulated serial device: nine in-process ports wired by tests, with the
// behaviour a real driver shows to the library (see sim_device.h). Bytes move
// from writer to receiver at once, one at a time, so flow control, queue
// limits and framing checks apply byte by byte; a write held off by flow
// control waits on a condition variable and is released by the peer's reads,
// line changes or XON, by a purge, or by closing the port.
#include "device/sim_device.h"

#include <cstdio>
#include <cstdlib>

#include "device/backend_common.h"

namespace velk {

namespace {
thread_local DWORD simLastError = 0;

bool sameFormat(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits;
}

// The values a UART driver refuses, as Windows does.
bool validLineState(const DCB& d) {
    if (d.BaudRate == 0) return false;
    if (d.ByteSize < 5 || d.ByteSize > 8) return false;
    if (d.Parity > SPACEPARITY) return false;
    if (d.StopBits > TWOSTOPBITS) return false;
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) return false;
    if (d.StopBits == TWOSTOPBITS && d.ByteSize == 5) return false;
    return true;
}
}  // namespace

SimDevice::SimDevice() {
    for (Port& p : ports_) {
        p.dcb = driverDefaultDcb();
    }
}

// A port number outside 0..8 is a fault in the test: stop it there, in every
// build (not an assert, which release builds drop).
void SimDevice::checkPort(int port) {
    if (port < 0 || port >= kPorts) {
        std::fprintf(stderr, "SimDevice: port %d is not 0 to %d\n", port, kPorts - 1);
        std::abort();
    }
}

SimDevice::Port& SimDevice::at(int port) {
    checkPort(port);
    return ports_[port];
}

const SimDevice::Port& SimDevice::at(int port) const {
    checkPort(port);
    return ports_[port];
}

// ---- Wiring ----------------------------------------------------------------

void SimDevice::unwire(int port) {
    Port& p = at(port);
    if (p.wiring == Wiring::NullModem && p.peer >= 0) {
        Port& q = at(p.peer);
        q.wiring = Wiring::Unplugged;
        q.peer = -1;
    }
    p.peer = -1;
}

void SimDevice::setAbsent(int port) {
    std::lock_guard<std::mutex> lock(mu_);
    unwire(port);
    Port& p = at(port);
    p.wiring = Wiring::Absent;
    if (p.open) {
        // Removed while open (an unplugged USB adapter): its lines are gone,
        // a write in progress ends, and every later operation on the handle
        // fails until it is closed.
        p.dtr = p.rts = p.brk = false;
        ++p.abortGeneration;
    }
    cv_.notify_all();
}

void SimDevice::setUnplugged(int port) {
    std::lock_guard<std::mutex> lock(mu_);
    unwire(port);
    at(port).wiring = Wiring::Unplugged;
    cv_.notify_all();
}

void SimDevice::setLoopback(int port) {
    std::lock_guard<std::mutex> lock(mu_);
    unwire(port);
    at(port).wiring = Wiring::Loopback;
    cv_.notify_all();
}

void SimDevice::connectNullModem(int a, int b) {
    std::lock_guard<std::mutex> lock(mu_);
    unwire(a);
    unwire(b);
    at(a).wiring = Wiring::NullModem;
    at(a).peer = b;
    at(b).wiring = Wiring::NullModem;
    at(b).peer = a;
    cv_.notify_all();
}

int SimDevice::receiverOf(int port) const {
    const Port& p = at(port);
    if (p.wiring == Wiring::Loopback) return port;
    if (p.wiring == Wiring::NullModem) return p.peer;
    return -1;
}

int SimDevice::sourceOf(int port) const {
    return receiverOf(port);  // the wiring is symmetric
}

// ---- Test controls ---------------------------------------------------------

void SimDevice::injectReceived(int port, const void* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (std::size_t i = 0; i < n; ++i) receive(port, bytes[i], false);
    cv_.notify_all();
}

void SimDevice::injectErrors(int port, DWORD ceFlags) {
    std::lock_guard<std::mutex> lock(mu_);
    at(port).errors |= ceFlags;
}

void SimDevice::setModemInputs(int port, DWORD mask, DWORD values) {
    std::lock_guard<std::mutex> lock(mu_);
    at(port).overrideMask = mask;
    at(port).overrideValues = values & mask;
    cv_.notify_all();
}

void SimDevice::setDeviceState(int port, const DCB& dcb) {
    std::lock_guard<std::mutex> lock(mu_);
    at(port).dcb = dcb;
}

void SimDevice::setDeviceTimeouts(int port, const COMMTIMEOUTS& t) {
    std::lock_guard<std::mutex> lock(mu_);
    at(port).timeouts = t;
}

// ---- Observation -----------------------------------------------------------

SimDevice::Snapshot SimDevice::snapshot(int port) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Port& p = at(port);
    return Snapshot{p.wiring,    p.open,      p.opens,         p.dcb,          p.timeouts,
                    p.dtr,       p.rts,       p.brk,           modemStatusLocked(port),
                    p.rx.size(), p.errors,    p.queueSize,     p.eventMask,    p.txPending,
                    txHeld(port)};
}

bool SimDevice::waitForHeldWrite(int port, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return at(port).heldWriters > 0; });
}

// ---- Line model ------------------------------------------------------------

DWORD SimDevice::modemStatusLocked(int port) const {
    const Port& p = at(port);
    DWORD status = 0;
    int src = sourceOf(port);
    if (src >= 0 && at(src).open) {
        const Port& s = at(src);
        if (s.rts) status |= MS_CTS_ON;
        if (s.dtr) status |= MS_DSR_ON | MS_RLSD_ON;
    }
    return (status & ~p.overrideMask) | p.overrideValues;
}

bool SimDevice::txHeld(int port) const {
    const Port& p = at(port);
    if (p.dcb.fOutxCtsFlow && (modemStatusLocked(port) & MS_CTS_ON) == 0) return true;
    if (p.dcb.fOutX && p.xoffReceived) return true;
    return false;
}

// One byte on the wire from `from` to `to`, in the sender's format.
void SimDevice::deliver(int from, int to, BYTE b) {
    const DCB& s = at(from).dcb;
    if (s.ByteSize < 8) b = static_cast<BYTE>(b & ((1u << s.ByteSize) - 1));
    bool mismatch = !sameFormat(s, at(to).dcb);
    receive(to, b, mismatch);
}

// One byte arriving at a port's UART.
void SimDevice::receive(int to, BYTE b, bool framingError) {
    Port& r = at(to);
    if (!r.open) return;  // nobody is listening: the byte is gone
    if (framingError) {
        r.errors |= CE_FRAME;
        if (r.dcb.fParity && r.dcb.Parity != NOPARITY) r.errors |= CE_RXPARITY;
    }
    if (r.dcb.fOutX && !framingError) {
        if (b == static_cast<BYTE>(r.dcb.XoffChar)) {
            r.xoffReceived = true;
            return;
        }
        if (b == static_cast<BYTE>(r.dcb.XonChar)) {
            r.xoffReceived = false;
            return;
        }
    }
    if (r.rx.size() >= r.queueSize) {
        r.errors |= CE_RXOVER;
        return;
    }
    r.rx.push_back(b);
    // Receive-side flow control: hold the peer off once fewer than XoffLim
    // bytes of the queue are free.
    std::size_t freeBytes = r.queueSize - r.rx.size();
    if (freeBytes < r.dcb.XoffLim) {
        if (r.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !r.rtsHeld) {
            r.rtsHeld = true;
            r.rts = false;
        }
        if (r.dcb.fInX && !r.xoffSent) {
            r.xoffSent = true;
            sendControl(to, static_cast<BYTE>(r.dcb.XoffChar));
        }
    }
}

// After bytes left the receive queue: release the peer once no more than
// XonLim bytes wait.
void SimDevice::afterDrain(int port) {
    Port& p = at(port);
    if (p.rx.size() > p.dcb.XonLim) return;
    if (p.rtsHeld) {
        p.rtsHeld = false;
        if (p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) p.rts = true;
    }
    if (p.xoffSent) {
        p.xoffSent = false;
        if (p.dcb.fInX) sendControl(port, static_cast<BYTE>(p.dcb.XonChar));
    }
}

// Starting a break is seen by the receiving end as CE_BREAK.
void SimDevice::setBreak(int port, bool on) {
    Port& p = at(port);
    if (on && !p.brk) {
        int to = receiverOf(port);
        if (to >= 0 && at(to).open) at(to).errors |= CE_BREAK;
    }
    p.brk = on;
}

// XON/XOFF go out ahead of data and are never held.
void SimDevice::sendControl(int from, BYTE b) {
    int to = receiverOf(from);
    if (to >= 0) deliver(from, to, b);
}

// ---- DeviceApi -------------------------------------------------------------

BOOL SimDevice::fail(DWORD code) {
    simLastError = code;
    return 0;
}

DWORD SimDevice::GetLastError() {
    return simLastError;
}

SimDevice::Port* SimDevice::lookup(DevHandle h) {
    if (h == kNoDevice) return nullptr;
    Port& p = ports_[h % kPorts];
    return p.open && p.handle == h ? &p : nullptr;
}

SimDevice::Port* SimDevice::live(DevHandle h) {
    Port* p = lookup(h);
    if (p == nullptr) {
        fail(kErrInvalidHandle);
    } else if (p->wiring == Wiring::Absent) {
        fail(kErrGenFailure);  // removed while open: only closing still works
        p = nullptr;
    }
    return p;
}

DevHandle SimDevice::CreateFileA(const char* name) {
    std::lock_guard<std::mutex> lock(mu_);
    const int port = comPortOfName(name);
    if (port < 0 || at(port).wiring == Wiring::Absent) {
        fail(kErrFileNotFound);
        return kNoDevice;
    }
    Port& p = at(port);
    if (p.open) {
        fail(kErrAccessDenied);
        return kNoDevice;
    }
    ++generation_;
    p.open = true;
    p.handle = static_cast<DevHandle>(generation_) * kPorts + static_cast<DevHandle>(port);
    ++p.opens;
    p.rx.clear();
    p.errors = 0;
    p.brk = false;
    p.xoffReceived = p.xoffSent = p.rtsHeld = false;
    // Opening raises the lines whose control mode says so.
    p.dtr = p.dcb.fDtrControl != DTR_CONTROL_DISABLE;
    p.rts = p.dcb.fRtsControl == RTS_CONTROL_ENABLE || p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    cv_.notify_all();
    return p.handle;
}

BOOL SimDevice::CloseHandle(DevHandle h) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = lookup(h);
    if (p == nullptr) return fail(kErrInvalidHandle);
    p->open = false;
    p->handle = kNoDevice;
    p->dtr = p->rts = p->brk = false;
    p->rx.clear();
    ++p->abortGeneration;
    cv_.notify_all();
    return 1;
}

BOOL SimDevice::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (t == nullptr) return fail(kErrInvalidParameter);
    *t = p->timeouts;
    return 1;
}

BOOL SimDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (t == nullptr) return fail(kErrInvalidParameter);
    p->timeouts = *t;
    return 1;
}

BOOL SimDevice::GetCommState(DevHandle h, DCB* dcb) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (dcb == nullptr) return fail(kErrInvalidParameter);
    *dcb = p->dcb;
    return 1;
}

BOOL SimDevice::SetCommState(DevHandle h, const DCB* dcb) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (dcb == nullptr || !validLineState(*dcb)) return fail(kErrInvalidParameter);
    DWORD oldDtr = p->dcb.fDtrControl;
    DWORD oldRts = p->dcb.fRtsControl;
    p->dcb = *dcb;
    if (dcb->fDtrControl != oldDtr) p->dtr = dcb->fDtrControl != DTR_CONTROL_DISABLE;
    if (dcb->fRtsControl != oldRts) {
        p->rtsHeld = false;
        p->rts = dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
    }
    if (!dcb->fOutX) p->xoffReceived = false;
    // Input flow control turned off after sending XOFF: send XON, as a driver
    // does, so the peer is not held off for good.
    if (!dcb->fInX && p->xoffSent) {
        p->xoffSent = false;
        sendControl(static_cast<int>(p - ports_), static_cast<BYTE>(dcb->XonChar));
    }
    cv_.notify_all();
    return 1;
}

BOOL SimDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD /*outQueue*/) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (inQueue != 0) p->queueSize = inQueue;  // 0 keeps the driver's size
    return 1;
}

BOOL SimDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    switch (func) {
    case SETDTR:
    case CLRDTR:
        if (p->dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return fail(kErrInvalidParameter);
        p->dtr = func == SETDTR;
        break;
    case SETRTS:
    case CLRRTS:
        if (p->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return fail(kErrInvalidParameter);
        p->rts = func == SETRTS;
        break;
    case SETBREAK:
    case CLRBREAK:
        setBreak(static_cast<int>(p - ports_), func == SETBREAK);
        break;
    case SETXOFF:
        p->xoffReceived = true;
        break;
    case SETXON:
        p->xoffReceived = false;
        break;
    case RESETDEV:
        break;
    default:
        return fail(kErrInvalidParameter);
    }
    cv_.notify_all();
    return 1;
}

BOOL SimDevice::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    int port = static_cast<int>(p - ports_);
    if (errors != nullptr) *errors = p->errors;
    p->errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->fCtsHold = p->dcb.fOutxCtsFlow && (modemStatusLocked(port) & MS_CTS_ON) == 0;
        stat->fXoffHold = p->dcb.fOutX && p->xoffReceived;
        stat->fXoffSent = p->xoffSent;
        stat->cbInQue = static_cast<DWORD>(p->rx.size());
        stat->cbOutQue = static_cast<DWORD>(p->txPending);
    }
    return 1;
}

BOOL SimDevice::SetCommMask(DevHandle h, DWORD mask) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    p->eventMask = mask;
    return 1;
}

BOOL SimDevice::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    std::lock_guard<std::mutex> lock(mu_);
    if (got != nullptr) *got = 0;
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (got == nullptr || (buf == nullptr && n > 0)) return fail(kErrInvalidParameter);
    // Reads never wait here, whatever the time-outs: only what has arrived
    // is returned.
    BYTE* out = static_cast<BYTE*>(buf);
    DWORD count = 0;
    while (count < n && !p->rx.empty()) {
        out[count++] = p->rx.front();
        p->rx.pop_front();
    }
    *got = count;
    if (count > 0) {
        afterDrain(static_cast<int>(p - ports_));
        cv_.notify_all();
    }
    return 1;
}

BOOL SimDevice::WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    std::unique_lock<std::mutex> lock(mu_);
    if (written != nullptr) *written = 0;
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (written == nullptr || (buf == nullptr && n > 0)) return fail(kErrInvalidParameter);
    const int port = static_cast<int>(p - ports_);
    const unsigned generation = p->abortGeneration;
    const BYTE* in = static_cast<const BYTE*>(buf);
    DWORD count = 0;
    p->txPending += n;
    while (count < n) {
        if (txHeld(port)) {
            ++p->heldWriters;
            cv_.notify_all();
            cv_.wait(lock, [&] { return p->abortGeneration != generation || !txHeld(port); });
            --p->heldWriters;
        }
        if (p->abortGeneration != generation) {
            // Purged or closed while held: the rest is discarded.
            if (p->txPending >= n - count) p->txPending -= n - count;
            *written = count;
            return fail(kErrOperationAborted);
        }
        int to = receiverOf(port);
        if (to >= 0) deliver(port, to, in[count]);
        ++count;
        --p->txPending;
    }
    *written = count;
    cv_.notify_all();
    return 1;
}

BOOL SimDevice::PurgeComm(DevHandle h, DWORD flags) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) ++p->abortGeneration;
    if (flags & PURGE_RXCLEAR) {
        p->rx.clear();
        afterDrain(static_cast<int>(p - ports_));
    }
    cv_.notify_all();
    return 1;
}

BOOL SimDevice::GetCommModemStatus(DevHandle h, DWORD* status) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    if (status == nullptr) return fail(kErrInvalidParameter);
    *status = modemStatusLocked(static_cast<int>(p - ports_));
    return 1;
}

BOOL SimDevice::SetCommBreak(DevHandle h) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    setBreak(static_cast<int>(p - ports_), true);
    return 1;
}

BOOL SimDevice::ClearCommBreak(DevHandle h) {
    std::lock_guard<std::mutex> lock(mu_);
    Port* p = live(h);
    if (p == nullptr) return 0;
    setBreak(static_cast<int>(p - ports_), false);
    return 1;
}

}  // namespace velk
