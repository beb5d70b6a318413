// Test builds only (velk32_testing); never in a shipped library.
// ProxyDevice: a DeviceApi that hands every operation, unchanged, to another
// DeviceApi. A wrapper derives from it and overrides only the operations it
// changes (a device that lacks modem lines, one that logs or fails on demand),
// calling ProxyDevice's version, or inner() directly, for the rest.
// Header-only and free of state beyond the reference.
#ifndef VELK_DEVICE_TESTING_PROXY_DEVICE_H
#define VELK_DEVICE_TESTING_PROXY_DEVICE_H

#include "device/device_api.h"

namespace velk {

class ProxyDevice : public DeviceApi {
public:
    explicit ProxyDevice(DeviceApi& inner) : inner_(inner) {}

    DevHandle CreateFileA(const char* name) override { return inner_.CreateFileA(name); }
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override { return inner_.GetCommTimeouts(h, t); }
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override { return inner_.SetCommTimeouts(h, t); }
    BOOL GetCommState(DevHandle h, DCB* dcb) override { return inner_.GetCommState(h, dcb); }
    BOOL SetCommState(DevHandle h, const DCB* dcb) override { return inner_.SetCommState(h, dcb); }
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override {
        return inner_.SetupComm(h, inQueue, outQueue);
    }
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override { return inner_.EscapeCommFunction(h, func); }
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override {
        return inner_.ClearCommError(h, errors, stat);
    }
    BOOL SetCommMask(DevHandle h, DWORD mask) override { return inner_.SetCommMask(h, mask); }
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override { return inner_.ReadFile(h, buf, n, got); }
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override {
        return inner_.WriteFile(h, buf, n, written);
    }
    BOOL PurgeComm(DevHandle h, DWORD flags) override { return inner_.PurgeComm(h, flags); }
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override { return inner_.GetCommModemStatus(h, status); }
    BOOL SetCommBreak(DevHandle h) override { return inner_.SetCommBreak(h); }
    BOOL ClearCommBreak(DevHandle h) override { return inner_.ClearCommBreak(h); }
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override {
        return inner_.WaitForReceive(h, timeoutMs, ready);
    }
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override { return inner_.ReceiveDescriptor(h, fd); }
    BOOL UnansweredRequests(DevHandle h, DWORD* count) override { return inner_.UnansweredRequests(h, count); }
    BOOL CloseHandle(DevHandle h) override { return inner_.CloseHandle(h); }
    DWORD GetLastError() override { return inner_.GetLastError(); }

protected:
    DeviceApi& inner() const { return inner_; }

private:
    DeviceApi& inner_;
};

}  // namespace velk

#endif  // VELK_DEVICE_TESTING_PROXY_DEVICE_H
