// Test builds only (velk32_testing); never in a shipped library.
// The fault-injecting, logging wrapper over a DeviceApi (see fault_shim.h).
// Every operation first asks injectFault() whether to fail; a passed-through
// operation clears the injected error so that GetLastError then reports the
// wrapped device's own code. Whether the last operation on a thread was an
// injected failure is kept per thread (and per shim), like the platform's own
// last-error code.
#include "device/testing/fault_shim.h"

namespace velk {

namespace {
struct InjectedError {
    const FaultShim* shim = nullptr;  // the shim whose injected failure this is
    DWORD error = 0;
};
thread_local InjectedError lastInjected;
}  // namespace

void FaultShim::failOp(Op op, DWORD error, int times) {
    std::lock_guard<std::mutex> lock(mu_);
    Rule& r = rules_[static_cast<int>(op)];
    r.remaining = times;
    r.error = error;
}

void FaultShim::failNth(std::size_t n, DWORD error) {
    std::lock_guard<std::mutex> lock(mu_);
    nthArmed_ = true;
    nthLeft_ = n;
    nthError_ = error;
}

void FaultShim::limitCount(Op op, DWORD maxCount, int times) {
    std::lock_guard<std::mutex> lock(mu_);
    Limit& l = limits_[static_cast<int>(op)];
    l.remaining = times;
    l.max = maxCount;
}

DWORD FaultShim::limitedCount(Op op, DWORD n) {
    std::lock_guard<std::mutex> lock(mu_);
    Limit& l = limits_[static_cast<int>(op)];
    if (l.remaining == 0) return n;
    if (l.remaining > 0) --l.remaining;
    return n < l.max ? n : l.max;
}

void FaultShim::clearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    for (Rule& r : rules_) r = Rule{};
    for (Limit& l : limits_) l = Limit{};
    nthArmed_ = false;
}

std::vector<FaultShim::Call> FaultShim::log() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

void FaultShim::clearLog() {
    std::lock_guard<std::mutex> lock(mu_);
    log_.clear();
}

std::size_t FaultShim::count(Op op) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t n = 0;
    for (const Call& c : log_) n += c.op == op;
    return n;
}

const char* FaultShim::name(Op op) {
    static const char* const names[] = {
        "CreateFileA",    "GetCommTimeouts",    "SetCommTimeouts", "GetCommState",
        "SetCommState",   "SetupComm",          "EscapeCommFunction", "ClearCommError",
        "SetCommMask",    "ReadFile",           "WriteFile",       "PurgeComm",
        "GetCommModemStatus", "SetCommBreak",   "ClearCommBreak",  "CloseHandle",
        "WaitForReceive", "ReceiveDescriptor"};
    static_assert(sizeof names / sizeof names[0] == static_cast<std::size_t>(Op::Count), "a name for every operation");
    int i = static_cast<int>(op);
    return i >= 0 && i < static_cast<int>(Op::Count) ? names[i] : "?";
}

bool FaultShim::injectFault(Op op) {
    std::lock_guard<std::mutex> lock(mu_);
    lastInjected = InjectedError{};
    DWORD error = 0;
    bool fire = false;
    if (nthArmed_) {
        if (nthLeft_ == 0) {
            nthArmed_ = false;
            fire = true;
            error = nthError_;
        } else {
            --nthLeft_;
        }
    }
    Rule& r = rules_[static_cast<int>(op)];
    if (!fire && r.remaining != 0) {
        if (r.remaining > 0) --r.remaining;
        fire = true;
        error = r.error;
    }
    if (fire) lastInjected = InjectedError{this, error};
    return fire;
}

BOOL FaultShim::record(Op op, DWORD arg, BOOL ok) {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back(Call{op, arg, ok != 0});
    return ok;
}

DWORD FaultShim::GetLastError() {
    return lastInjected.shim == this ? lastInjected.error : inner().GetLastError();
}

DevHandle FaultShim::CreateFileA(const char* name) {
    if (injectFault(Op::CreateFileA)) {
        record(Op::CreateFileA, 0, 0);
        return kNoDevice;
    }
    DevHandle h = inner().CreateFileA(name);
    record(Op::CreateFileA, 0, h != kNoDevice);
    return h;
}

BOOL FaultShim::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    return pass(Op::GetCommTimeouts, 0, [&] { return ProxyDevice::GetCommTimeouts(h, t); });
}

BOOL FaultShim::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    return pass(Op::SetCommTimeouts, 0, [&] { return ProxyDevice::SetCommTimeouts(h, t); });
}

BOOL FaultShim::GetCommState(DevHandle h, DCB* dcb) {
    return pass(Op::GetCommState, 0, [&] { return ProxyDevice::GetCommState(h, dcb); });
}

BOOL FaultShim::SetCommState(DevHandle h, const DCB* dcb) {
    return pass(Op::SetCommState, 0, [&] { return ProxyDevice::SetCommState(h, dcb); });
}

BOOL FaultShim::SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) {
    return pass(Op::SetupComm, inQueue, [&] { return ProxyDevice::SetupComm(h, inQueue, outQueue); });
}

BOOL FaultShim::EscapeCommFunction(DevHandle h, DWORD func) {
    return pass(Op::EscapeCommFunction, func, [&] { return ProxyDevice::EscapeCommFunction(h, func); });
}

BOOL FaultShim::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    return pass(Op::ClearCommError, 0, [&] { return ProxyDevice::ClearCommError(h, errors, stat); });
}

BOOL FaultShim::SetCommMask(DevHandle h, DWORD mask) {
    return pass(Op::SetCommMask, mask, [&] { return ProxyDevice::SetCommMask(h, mask); });
}

BOOL FaultShim::ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) {
    if (injectFault(Op::ReadFile)) {
        if (got != nullptr) *got = 0;
        return record(Op::ReadFile, n, 0);
    }
    return record(Op::ReadFile, n, inner().ReadFile(h, buf, limitedCount(Op::ReadFile, n), got));
}

BOOL FaultShim::WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) {
    if (injectFault(Op::WriteFile)) {
        if (written != nullptr) *written = 0;
        return record(Op::WriteFile, n, 0);
    }
    return record(Op::WriteFile, n,
                  inner().WriteFile(h, buf, limitedCount(Op::WriteFile, n), written));
}

BOOL FaultShim::PurgeComm(DevHandle h, DWORD flags) {
    return pass(Op::PurgeComm, flags, [&] { return ProxyDevice::PurgeComm(h, flags); });
}

BOOL FaultShim::GetCommModemStatus(DevHandle h, DWORD* status) {
    return pass(Op::GetCommModemStatus, 0, [&] { return ProxyDevice::GetCommModemStatus(h, status); });
}

BOOL FaultShim::SetCommBreak(DevHandle h) {
    return pass(Op::SetCommBreak, 0, [&] { return ProxyDevice::SetCommBreak(h); });
}

BOOL FaultShim::ClearCommBreak(DevHandle h) {
    return pass(Op::ClearCommBreak, 0, [&] { return ProxyDevice::ClearCommBreak(h); });
}

BOOL FaultShim::CloseHandle(DevHandle h) {
    if (injectFault(Op::CloseHandle)) {
        // The handle is gone whatever a close reports: close it underneath so
        // an injected failure never leaks the device.
        InjectedError injected = lastInjected;
        inner().CloseHandle(h);
        lastInjected = injected;
        return record(Op::CloseHandle, 0, 0);
    }
    return record(Op::CloseHandle, 0, inner().CloseHandle(h));
}

BOOL FaultShim::WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) {
    if (injectFault(Op::WaitForReceive)) return record(Op::WaitForReceive, 0, 0);
    const BOOL ok = inner().WaitForReceive(h, timeoutMs, ready);
    return record(Op::WaitForReceive, ok && ready != nullptr ? static_cast<DWORD>(*ready) : 0, ok);
}

BOOL FaultShim::ReceiveDescriptor(DevHandle h, int* fd) {
    return pass(Op::ReceiveDescriptor, 0, [&] { return ProxyDevice::ReceiveDescriptor(h, fd); });
}

}  // namespace velk
