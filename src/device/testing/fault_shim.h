// Test builds only (velk32_testing); never in a shipped library.
// FaultShim: a DeviceApi that wraps another (a ProxyDevice) and can make its operations fail
// on demand, while logging every operation called, in order. Tests put it in
// front of the simulated device (or any backend) to reach each failure path
// of the library: an operation fails once, N times or always with a chosen
// error code, or the Nth operation from now fails whatever it is. A failed
// operation does not reach the wrapped device, except CloseHandle, which
// still closes the handle underneath (a handle is gone after CloseHandle
// whatever it reports) so that a failing close never leaks. Like every
// DeviceApi it may be called from several threads at once (a write held by
// flow control in one, the call that releases it in another): the rules and
// the log are guarded by a lock that is never held across the wrapped call
// (so an operation is logged when it returns), and the injected error is kept
// per thread for GetLastError.
#ifndef VELK_DEVICE_TESTING_FAULT_SHIM_H
#define VELK_DEVICE_TESTING_FAULT_SHIM_H

#include <cstddef>
#include <mutex>
#include <vector>

#include "device/testing/proxy_device.h"

namespace velk {

class FaultShim final : public ProxyDevice {
public:
    enum class Op {
        CreateFileA,
        GetCommTimeouts,
        SetCommTimeouts,
        GetCommState,
        SetCommState,
        SetupComm,
        EscapeCommFunction,
        ClearCommError,
        SetCommMask,
        ReadFile,
        WriteFile,
        PurgeComm,
        GetCommModemStatus,
        SetCommBreak,
        ClearCommBreak,
        CloseHandle,
        WaitForReceive,
        ReceiveDescriptor,
        Count
    };
    static constexpr int kAlways = -1;

    // One logged operation: which, the argument that says what it did where
    // there is one (the EscapeCommFunction code, the PurgeComm flags, the
    // byte counts of reads and writes, the readiness a wait reported), and
    // whether it succeeded.
    struct Call {
        Op op;
        DWORD arg;
        bool ok;
    };

    explicit FaultShim(DeviceApi& inner) : ProxyDevice(inner) {}

    // The next `times` calls of op (kAlways: every call) fail with error.
    void failOp(Op op, DWORD error, int times = 1);
    // The nth operation from now (0 = the next one), whatever it is, fails
    // with error.
    void failNth(std::size_t n, DWORD error);
    // The next `times` calls of op (ReadFile or WriteFile; kAlways: every
    // call) hand the device at most maxCount bytes: a read or write that
    // succeeds with fewer bytes than asked, as a device gives under time-outs.
    void limitCount(Op op, DWORD maxCount, int times = 1);
    void clearFaults();

    // A copy of the log, so that it can be read while other threads add to it.
    std::vector<Call> log() const;
    void clearLog();
    std::size_t count(Op op) const;  // calls of op in the log
    static const char* name(Op op);

    DevHandle CreateFileA(const char* name) override;
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override;
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override;
    BOOL GetCommState(DevHandle h, DCB* dcb) override;
    BOOL SetCommState(DevHandle h, const DCB* dcb) override;
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override;
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override;
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override;
    BOOL SetCommMask(DevHandle h, DWORD mask) override;
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override;
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override;
    BOOL PurgeComm(DevHandle h, DWORD flags) override;
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override;
    BOOL SetCommBreak(DevHandle h) override;
    BOOL ClearCommBreak(DevHandle h) override;
    BOOL CloseHandle(DevHandle h) override;
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override;
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override;
    DWORD GetLastError() override;

private:
    struct Rule {
        int remaining = 0;  // kAlways, or calls still to fail
        DWORD error = 0;
    };

    // Decides whether this call of op fails; if so records the injected
    // error for GetLastError.
    bool injectFault(Op op);
    // The byte count to hand the device for this call of op.
    DWORD limitedCount(Op op, DWORD n);
    BOOL record(Op op, DWORD arg, BOOL ok);
    // The call of op on the wrapped device unless a fault is injected; logged.
    template <class Call>
    BOOL pass(Op op, DWORD arg, Call&& call) {
        if (injectFault(op)) return record(op, arg, 0);
        return record(op, arg, call());
    }

    mutable std::mutex mu_;  // guards the rules and the log
    Rule rules_[static_cast<int>(Op::Count)];
    struct Limit {
        int remaining = 0;  // kAlways, or calls still to limit
        DWORD max = 0;
    };
    Limit limits_[static_cast<int>(Op::Count)];
    bool nthArmed_ = false;
    std::size_t nthLeft_ = 0;
    DWORD nthError_ = 0;
    std::vector<Call> log_;
};

}  // namespace velk

#endif  // VELK_DEVICE_TESTING_FAULT_SHIM_H
