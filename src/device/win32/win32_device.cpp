// The Windows backend of DeviceApi: each operation is one call of the KERNEL32
// communications or file function of the same name on the port's handle, with
// the arguments the library relies on and nothing added. A DevHandle holds the
// HANDLE's bits, so INVALID_HANDLE_VALUE is kNoDevice. Results are folded to
// the success flags 1 and 0, and GetLastError is the thread's own, so the code
// SioWinError reports is the Windows error code of the call that failed.
#include "device/device_api.h"

namespace velk {

namespace {

HANDLE toHandle(DevHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

BOOL flag(BOOL ok) {
    return ok ? 1 : 0;
}

BOOL notSupported() {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

class Win32Device final : public DeviceApi {
public:
    constexpr Win32Device() = default;

    // Opens "COMn" for reading and writing with no sharing, so a port already
    // held by any program (this one included) fails, typically with
    // ERROR_ACCESS_DENIED; an absent port fails with ERROR_FILE_NOT_FOUND.
    DevHandle CreateFileA(const char* name) override {
        HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_NO_BUFFERING, nullptr);
        return reinterpret_cast<DevHandle>(h);
    }

    // The five time-out words, read and written unchanged.
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override {
        return flag(::GetCommTimeouts(toHandle(h), t));
    }
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override {
        // The Win32 prototype takes a non-const pointer but only reads it.
        return flag(::SetCommTimeouts(toHandle(h), const_cast<COMMTIMEOUTS*>(t)));
    }

    // The whole DCB, read or applied at once; the driver sets DTR and RTS as
    // a changed control mode says.
    BOOL GetCommState(DevHandle h, DCB* dcb) override {
        return flag(::GetCommState(toHandle(h), dcb));
    }
    BOOL SetCommState(DevHandle h, const DCB* dcb) override {
        return flag(::SetCommState(toHandle(h), const_cast<DCB*>(dcb)));
    }

    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override {
        return flag(::SetupComm(toHandle(h), inQueue, outQueue));
    }

    // SETRTS, CLRRTS, SETDTR, CLRDTR or RESETDEV, passed through; the driver
    // refuses SETRTS and CLRRTS under RTS handshaking.
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override {
        return flag(::EscapeCommFunction(toHandle(h), func));
    }

    // Hands out and clears the accumulated CE_* flags and fills the queue
    // counts of *stat.
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override {
        return flag(::ClearCommError(toHandle(h), errors, stat));
    }

    BOOL SetCommMask(DevHandle h, DWORD mask) override {
        return flag(::SetCommMask(toHandle(h), mask));
    }

    // Synchronous, no OVERLAPPED record: the handle was opened without
    // FILE_FLAG_OVERLAPPED, and the time-outs decide how long each call waits.
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override {
        return flag(::ReadFile(toHandle(h), buf, n, got, nullptr));
    }
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override {
        return flag(::WriteFile(toHandle(h), buf, n, written, nullptr));
    }

    BOOL PurgeComm(DevHandle h, DWORD flags) override {
        return flag(::PurgeComm(toHandle(h), flags));
    }

    // The status word is taken into a local first, so that on failure the
    // caller's word is left exactly as it was, whatever the driver wrote.
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override {
        DWORD bits = 0;
        if (!::GetCommModemStatus(toHandle(h), &bits)) return 0;
        *status = bits;
        return 1;
    }

    BOOL SetCommBreak(DevHandle h) override {
        return flag(::SetCommBreak(toHandle(h)));
    }
    BOOL ClearCommBreak(DevHandle h) override {
        return flag(::ClearCommBreak(toHandle(h)));
    }

    // The DLL offers no wait: its functions never wait, and a Windows
    // program polls (docs/windows.md). Refused as the system refuses a
    // request a driver does not have.
    BOOL WaitForReceive(DevHandle, int, BOOL*) override { return notSupported(); }
    BOOL ReceiveDescriptor(DevHandle, int*) override { return notSupported(); }

    BOOL CloseHandle(DevHandle h) override {
        return flag(::CloseHandle(toHandle(h)));
    }

    // The calling thread's last error, untouched by anything in between: the
    // wrappers above make no other call after the one that failed.
    DWORD GetLastError() override {
        return ::GetLastError();
    }
};

}  // namespace

DeviceApi& platformDevice() {
    // Constant-initialised (the constructor is constexpr), so loading the DLL
    // runs no code for it.
    static Win32Device win32;
    return win32;
}

}  // namespace velk
