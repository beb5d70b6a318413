// Test builds only (velk32_testing); never in a shipped library.
// The simulated serial device (see sim_device.h): the wiring and the test
// controls, each under the line model's lock, and the DeviceApi operations,
// each handed to the model with its error code kept as this thread's last
// error.
#include "device/testing/sim_device.h"

#include <cstdio>
#include <cstdlib>

#include "device/common/driver_rules.h"

namespace velk {

namespace {
thread_local DWORD simLastError = 0;
}  // namespace

SimDevice::SimDevice() : LineModel(Wiring::Absent) {}

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

// ---- Test controls ---------------------------------------------------------

void SimDevice::injectReceived(int port, const void* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    checkPort(port);
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
    at(port).forcedMask = mask;
    at(port).forcedValues = values & mask;
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

void SimDevice::setNoEscapes(int port, bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    at(port).noEscapes = on;
}

// ---- Observation -----------------------------------------------------------

SimDevice::Snapshot SimDevice::snapshot(int port) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Port& p = at(port);
    return Snapshot{p.wiring,    p.open,      p.opens,     p.dcb,       p.timeouts,   p.dtr,
                    p.rts,       p.brk,       inputsOf(port), p.rx.size(), p.errors, p.queueSize,
                    p.eventMask, p.txPending, txHeld(port)};
}

bool SimDevice::waitForHeldWrite(int port, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return at(port).heldWriters > 0; });
}

// ---- DeviceApi -------------------------------------------------------------

BOOL SimDevice::done(DWORD err) {
    if (err == 0) return 1;
    simLastError = err;
    return 0;
}

DWORD SimDevice::GetLastError() {
    return simLastError;
}

DevHandle SimDevice::CreateFileA(const char* name) {
    DevHandle h = kNoDevice;
    // Only "COM1" to "COM9", exactly; the model turns away absent ports.
    const int port = comPortOfName(name);
    done(port < 0 ? kErrFileNotFound : open(port, &h));
    return h;
}

BOOL SimDevice::CloseHandle(DevHandle h) {
    return done(close(h));
}

BOOL SimDevice::WaitForReceive(DevHandle, int, BOOL*) {
    return done(kErrNotSupported);
}

BOOL SimDevice::ReceiveDescriptor(DevHandle, int*) {
    return done(kErrNotSupported);
}

BOOL SimDevice::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    return done(timeouts(h, t));
}

BOOL SimDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    return done(setTimeouts(h, t));
}

BOOL SimDevice::GetCommState(DevHandle h, DCB* dcb) {
    return done(state(h, dcb));
}

BOOL SimDevice::SetCommState(DevHandle h, const DCB* dcb) {
    return done(setState(h, dcb));
}

BOOL SimDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD /*outQueue*/) {
    return done(setQueue(h, inQueue));
}

BOOL SimDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    return done(escape(h, func));
}

BOOL SimDevice::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    return done(clearErrors(h, errors, stat));
}

BOOL SimDevice::SetCommMask(DevHandle h, DWORD mask) {
    return done(setEventMask(h, mask));
}

BOOL SimDevice::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    return done(read(h, buf, n, got));
}

BOOL SimDevice::WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    return done(write(h, buf, n, written));
}

BOOL SimDevice::PurgeComm(DevHandle h, DWORD flags) {
    return done(purge(h, flags));
}

BOOL SimDevice::GetCommModemStatus(DevHandle h, DWORD* status) {
    return done(modemStatus(h, status));
}

BOOL SimDevice::SetCommBreak(DevHandle h) {
    return done(setBreak(h, true));
}

BOOL SimDevice::ClearCommBreak(DevHandle h) {
    return done(setBreak(h, false));
}

}  // namespace velk
