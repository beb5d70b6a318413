// Test builds only (velk32_testing); never in a shipped library.
// The DeviceApi operations of the simulated device (see sim_device.h): each
// takes the device's lock, finds the open port of the handle and acts on the
// line model of sim_device.cpp. Error codes are the platform's (kErr*).
#include "device/common/driver_rules.h"
#include "device/common/handle.h"
#include "device/testing/sim_device.h"

namespace velk {

namespace {
thread_local DWORD simLastError = 0;
}  // namespace

// ---- DeviceApi -------------------------------------------------------------

BOOL SimDevice::fail(DWORD code) {
    simLastError = code;
    return 0;
}

DWORD SimDevice::GetLastError() {
    return simLastError;
}

SimDevice::Port* SimDevice::lookup(DevHandle h) {
    const unsigned slot = handle::slotOf(h);
    if (slot >= static_cast<unsigned>(kPorts)) return nullptr;
    Port& p = ports_[slot];
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
    generation_ = handle::nextGeneration(generation_);
    p.open = true;
    p.handle = handle::make(generation_, port);
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
    if (dcb == nullptr || !driverAcceptsLineState(*dcb)) return fail(kErrInvalidParameter);
    const int control = applyLineState(*p, *dcb);
    if (control >= 0) sendControl(static_cast<int>(p - ports_), static_cast<BYTE>(control));
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
