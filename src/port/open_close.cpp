// SioReset and SioDone: opening a port into the library's default line state
// with reads that never wait, and closing it with its time-outs given back.
// SioReset runs its steps in a fixed order; a failing step ends the call with
// SIO_WIN_ERROR and leaves what the steps before it did in place (after a
// successful open the slot keeps the handle, so SioDone can still close it).
#include "port/port_table.h"

using namespace velk;

namespace {

// Closes the slot's device: time-outs given back (result not looked at), the
// slot emptied, then the handle closed. Returns the close's success flag.
int closeSlot(PortSlot& slot) {
    DeviceApi& dev = device();
    dev.SetCommTimeouts(slot.handle, &slot.savedTimeouts);
    DevHandle h = slot.handle;
    slot.handle = kNoDevice;
    return dev.CloseHandle(h) ? 1 : 0;
}

// The default line state: 19200 8N1, binary, DTR and RTS enabled (raised), no
// flow control, XON/XOFF thresholds at a quarter and three quarters of the
// receive queue. Every other field stays as the device reported it.
void applyDefaults(DCB& d, int inQueue) {
    d.BaudRate = 19200;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.fBinary = 1;
    d.fNull = 0;
    d.fOutxDsrFlow = 0;
    d.fOutxCtsFlow = 0;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fOutX = 0;
    d.fInX = 0;
    // 3 * inQueue is computed in 32 bits, wrapping, and taken as signed; both
    // quotients truncate toward zero and keep their low 16 bits.
    const std::int32_t quarter = inQueue / 4;
    const std::int32_t tripled =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(inQueue) * 3u);
    d.XonLim = static_cast<WORD>(static_cast<std::uint32_t>(quarter) & 0xFFFFu);
    d.XoffLim = static_cast<WORD>(static_cast<std::uint32_t>(tripled / 4) & 0xFFFFu);
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
}

}  // namespace

extern "C" VELK_API int VELK_CALL SioReset(int port, int inQueue, int outQueue) {
    int rc = CheckPort(port);
    if (rc < 0) return rc;
    PortSlot& slot = PortTable[port];
    DeviceApi& dev = device();

    // A port that is already open is closed first, so its handle is never
    // left open out of reach.
    if (slot.handle != kNoDevice) closeSlot(slot);

    // "COM%d" with port + 1; the port is 0 to 8 here, so the number is the
    // single digit 1 to 9.
    deviceName[0] = 'C';
    deviceName[1] = 'O';
    deviceName[2] = 'M';
    deviceName[3] = static_cast<char>('1' + port);
    deviceName[4] = '\0';

    slot.handle = dev.CreateFileA(deviceName);
    if (slot.handle == kNoDevice) return deviceFailure();

    if (!dev.GetCommTimeouts(slot.handle, &slot.savedTimeouts)) return deviceFailure();

    DCB& dcb = *slot.dcb;
    dcb.DCBlength = sizeof(DCB);
    if (!dev.GetCommState(slot.handle, &dcb)) return deviceFailure();

    applyDefaults(dcb, inQueue);
    if (!dev.SetCommState(slot.handle, &dcb)) return deviceFailure();

    dev.SetupComm(slot.handle, static_cast<DWORD>(inQueue), static_cast<DWORD>(outQueue));

    // A driver with nothing to reset may say it does not support the request
    // (USB CDC drivers refuse escape functions so): the open goes on.
    if (!dev.EscapeCommFunction(slot.handle, RESETDEV)) {
        const DWORD err = dev.GetLastError();
        if (!requestNotSupported(err)) return winError(err);
    }

    DWORD errors = 0;
    dev.ClearCommError(slot.handle, &errors, &sharedStat);

    if (!dev.SetCommMask(slot.handle, EV_RXCHAR | EV_BREAK)) return deviceFailure();

    resetTimeouts.ReadIntervalTimeout = MAXDWORD;
    resetTimeouts.ReadTotalTimeoutMultiplier = 0;
    resetTimeouts.ReadTotalTimeoutConstant = 0;
    resetTimeouts.WriteTotalTimeoutMultiplier = 0;
    resetTimeouts.WriteTotalTimeoutConstant = 0;
    if (!dev.SetCommTimeouts(slot.handle, &resetTimeouts)) return deviceFailure();

    return 0;
}

extern "C" VELK_API int VELK_CALL SioDone(int port) {
    int rc = CheckOpenPort(port);
    if (rc < 0) return rc;
    return closeSlot(PortTable[port]);
}
