// DeviceApi: the one seam between the library and the platform's serial
// devices. Everything above src/device/ reaches a port only through the
// operations of this interface, named after the Windows communications
// functions they stand for and taking the platform's records (DCB,
// COMMTIMEOUTS, COMSTAT). On Windows the records and constants are
// <windows.h>'s own; elsewhere this header defines layout-identical records and
// the constants the library uses. The device in use is the platform backend
// chosen at build time; only the test-only library lets a test install
// another with setDevice().
#ifndef VELK_DEVICE_DEVICE_API_H
#define VELK_DEVICE_DEVICE_API_H

#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#endif

namespace velk {

#if !defined(_WIN32)
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = int;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// EscapeCommFunction
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// SetCommMask
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_BREAK = 0x0040;

// ClearCommError
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;

// GetCommModemStatus
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// PurgeComm
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// DCB fields
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
#endif  // !_WIN32

static_assert(sizeof(DCB) == 28, "DCB must keep the platform's 28-byte layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS is five 32-bit words");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT is three 32-bit words");

// A device handle as the library stores it: an integer wide enough for the
// platform's HANDLE, with all bits set meaning "no device"
// (INVALID_HANDLE_VALUE). Keeping it an integer lets the port table be
// constant-initialised.
using DevHandle = std::uintptr_t;
constexpr DevHandle kNoDevice = ~DevHandle(0);

// The platform's error codes that the library itself or the in-process
// devices (loop://, the simulated device) produce, so that SioWinError
// reports values of one family on each platform: Windows error codes in the
// DLL, errno values elsewhere.
#if defined(_WIN32)
constexpr DWORD kErrFileNotFound = ERROR_FILE_NOT_FOUND;         // 2
constexpr DWORD kErrAccessDenied = ERROR_ACCESS_DENIED;          // 5
constexpr DWORD kErrInvalidHandle = ERROR_INVALID_HANDLE;        // 6
constexpr DWORD kErrNoMemory = ERROR_NOT_ENOUGH_MEMORY;          // 8
constexpr DWORD kErrGenFailure = ERROR_GEN_FAILURE;              // 31
constexpr DWORD kErrInvalidParameter = ERROR_INVALID_PARAMETER;  // 87
constexpr DWORD kErrOperationAborted = ERROR_OPERATION_ABORTED;  // 995
constexpr DWORD kErrNotSupported = ERROR_NOT_SUPPORTED;          // 50
#else
constexpr DWORD kErrFileNotFound = ENOENT;
constexpr DWORD kErrAccessDenied = EBUSY;
constexpr DWORD kErrNoMemory = ENOMEM;
constexpr DWORD kErrInvalidHandle = EBADF;
constexpr DWORD kErrGenFailure = EIO;
constexpr DWORD kErrInvalidParameter = EINVAL;
constexpr DWORD kErrOperationAborted = ECANCELED;
constexpr DWORD kErrNotSupported = ENOTSUP;
#endif

// True for the error codes with which a driver says that it does not support
// a request at all, as opposed to a device that failed to carry it out. The
// library goes on without RESETDEV when a driver answers so, and sets DTR and
// RTS through the line state when a driver refuses their escape functions so
// (USB CDC drivers do: the lines then follow fDtrControl and fRtsControl).
//  - Windows: ERROR_INVALID_FUNCTION (1), ERROR_GEN_FAILURE (31),
//    ERROR_NOT_SUPPORTED (50), ERROR_INVALID_PARAMETER (87, serial.sys's
//    answer to a request it does not know).
//  - Elsewhere: EIO (kErrGenFailure, also the simulated device's driver
//    without escape functions), ENOSYS and EOPNOTSUPP. Not ENOTTY, what a pty
//    answers because it has no modem lines at all, and not EINVAL: the tty
//    kind's SetCommState passes over a line that its driver answers with
//    either, so setting the line through the line state would report a
//    success for a line that was never set.
inline bool requestNotSupported(DWORD err) {
#if defined(_WIN32)
    return err == ERROR_INVALID_FUNCTION || err == ERROR_GEN_FAILURE || err == ERROR_NOT_SUPPORTED ||
           err == ERROR_INVALID_PARAMETER;
#else
#if ENOTSUP != EOPNOTSUPP
    if (err == ENOTSUP) return true;
#endif
    return err == kErrGenFailure || err == ENOSYS || err == EOPNOTSUPP;
#endif
}

// The operations the library performs on a serial device. Each takes the
// device handle first, except CreateFileA and GetLastError. Every operation
// returning BOOL returns 1 for success and 0 for failure (never anything
// else); after a failure GetLastError, called next on the same thread, gives
// the reason. Implementations must be usable from any thread; the library
// itself calls them from one thread at a time.
class DeviceApi {
public:
    virtual ~DeviceApi() = default;

    // Opens the named device ("COM1" to "COM9") for reading and writing,
    // exclusively: a device already held (by this or another program) fails.
    // Returns the handle, or kNoDevice on failure.
    virtual DevHandle CreateFileA(const char* name) = 0;

    // Reads the five time-out words into *t / writes them from *t unchanged.
    virtual BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) = 0;
    virtual BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) = 0;

    // Fills *dcb with the device's current line state (DCBlength must be 28).
    virtual BOOL GetCommState(DevHandle h, DCB* dcb) = 0;
    // Applies the whole record at once, or nothing when the device rejects a
    // value. When fDtrControl or fRtsControl differs from the device's current
    // mode, the device sets that line as the new mode says (enable raises it,
    // disable lowers it).
    virtual BOOL SetCommState(DevHandle h, const DCB* dcb) = 0;

    // Asks for receive and transmit queues of the given sizes in bytes.
    virtual BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) = 0;

    // SETRTS, CLRRTS, SETDTR, CLRDTR or RESETDEV.
    virtual BOOL EscapeCommFunction(DevHandle h, DWORD func) = 0;

    // Returns the line-error flags accumulated since the last call in *errors
    // and clears them in the device; fills stat->cbInQue and stat->cbOutQue
    // with the bytes waiting in the receive and transmit queues. Either
    // pointer may be null.
    virtual BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) = 0;

    // Records the events the device reports; nothing in the library waits on
    // them.
    virtual BOOL SetCommMask(DevHandle h, DWORD mask) = 0;

    // Reads up to n bytes under the handle's time-outs; with
    // ReadIntervalTimeout = MAXDWORD and the others 0 it returns at once with
    // what has arrived, possibly nothing. *got is the count read.
    virtual BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) = 0;

    // Writes n bytes and returns when the device has taken them; with no
    // write time-outs set it waits as long as that takes (for instance while
    // flow control holds transmission off). *written is the count taken.
    virtual BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) = 0;

    // Discards pending output (PURGE_TXCLEAR), input (PURGE_RXCLEAR) and
    // aborts transfers in progress (PURGE_TXABORT, PURGE_RXABORT).
    virtual BOOL PurgeComm(DevHandle h, DWORD flags) = 0;

    // Stores the modem-status bits (MS_*) in *status; on failure *status is
    // left as it was.
    virtual BOOL GetCommModemStatus(DevHandle h, DWORD* status) = 0;

    // Starts / ends sending a break.
    virtual BOOL SetCommBreak(DevHandle h) = 0;
    virtual BOOL ClearCommBreak(DevHandle h) = 0;

    // Waits until the receive side has something for the caller, or until
    // timeoutMs has passed (negative: without limit; 0: only looks), and
    // takes nothing. *ready is 1 when the next ReadFile would return at
    // least one byte at once, or would fail (the device hung up or went
    // away, the connection was lost: the bytes received before it are
    // still delivered first); 0 when the time ran out. Each kind waits its
    // own way, and work the device does while waiting (protocol traffic that
    // carries no data) ends no wait. A signal caught meanwhile does not end
    // it either: the wait goes on for the time left. The operation fails
    // only for a handle that is not open (or, for a device that cannot wait,
    // with kErrNotSupported).
    virtual BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) = 0;

    // Stores in *fd a descriptor that a program's event loop can watch: it
    // is readable whenever something has arrived that the handle's own
    // receive queue does not hold yet, or the device has hung up or failed,
    // and not otherwise for long (protocol traffic wakes it once, and the
    // next ReadFile takes it in). Bytes already moved into the handle's
    // queue (by a status query, or by an operation that read the device
    // while waiting for an answer) may not show: the caller reads until
    // ReadFile returns nothing, then watches. The descriptor stays the
    // device's, valid until CloseHandle. Devices without one fail with
    // kErrNotSupported.
    virtual BOOL ReceiveDescriptor(DevHandle h, int* fd) = 0;

    // Stores in *count how many requests the far end of the connection (a
    // network port's server) has left unanswered since the handle was
    // opened. A device that sends no requests counts 0, which is what this
    // default says; a kind that sends them, and anything that passes
    // operations on, overrides it.
    virtual BOOL UnansweredRequests(DevHandle h, DWORD* count) {
        (void)h;
        if (count != nullptr) *count = 0;
        return 1;
    }

    // Closes the handle; it is invalid afterwards whatever the result.
    virtual BOOL CloseHandle(DevHandle h) = 0;

    // The error code of the operation that just failed on this thread.
    virtual DWORD GetLastError() = 0;
};

// The device the library uses: the platform backend built in (device.cpp),
// or in the test-only library the one installed with setDevice().
DeviceApi& device();

// Installs a device for the library to use (nullptr restores the platform
// backend). Defined only in the test-only library (testing/device_hook.cpp), which
// the tests, the fuzzer and the benchmarks link; the shipped libraries have
// no such hook.
void setDevice(DeviceApi* api);

// The platform backend chosen at build time (one definition per backend).
DeviceApi& platformDevice();

}  // namespace velk

#endif  // VELK_DEVICE_DEVICE_API_H
