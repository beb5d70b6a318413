// Test builds only (velk32_testing); never in a shipped library.
// The simulated serial device: nine in-process ports wired by tests, with the
// behaviour a real driver shows to the library (see sim_device.h). Bytes move
// from writer to receiver at once, one at a time, so flow control, queue
// limits and framing checks apply byte by byte; a write held off by flow
// control waits on a condition variable and is released by the peer's reads,
// line changes or XON, by a purge, or by closing the port. The DeviceApi
// operations are in sim_device_ops.cpp.
#include "device/testing/sim_device.h"

#include <cstdio>
#include <cstdlib>

#include "device/common/driver_rules.h"

namespace velk {

namespace {

bool sameFormat(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits;
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
    // Receive-side flow control: hold the peer off once the queue is nearly full.
    const int control = holdOffWhenFull(r, static_cast<DWORD>(r.rx.size()), static_cast<DWORD>(r.queueSize));
    if (control >= 0) sendControl(to, static_cast<BYTE>(control));
}

// After bytes left the receive queue: release the peer.
void SimDevice::afterDrain(int port) {
    Port& p = at(port);
    const int control = releaseAfterDrain(p, static_cast<DWORD>(p.rx.size()));
    if (control >= 0) sendControl(port, static_cast<BYTE>(control));
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

}  // namespace velk
