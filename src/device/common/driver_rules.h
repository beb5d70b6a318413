// What the simulated device and the POSIX backend share: the reading of a
// device name "COM1" to "COM9" into a port number, the line state a driver
// reports for a port nobody has configured yet, the line states a UART
// driver refuses, and the flow-control rules of the line model that the
// loop:// plug and the simulated device keep. Header-only, for the
// backends' own use; the library above the device layer never needs it.
#ifndef VELK_DEVICE_COMMON_DRIVER_RULES_H
#define VELK_DEVICE_COMMON_DRIVER_RULES_H

#include "device/device_api.h"

namespace velk {

// The port of a device name: 0 for "COM1" to 8 for "COM9", -1 for anything
// else (a null name included).
inline int comPortOfName(const char* name) {
    if (name != nullptr && name[0] == 'C' && name[1] == 'O' && name[2] == 'M' && name[3] >= '1' &&
        name[3] <= '9' && name[4] == '\0') {
        return name[3] - '1';
    }
    return -1;
}

// A driver's defaults for a port nobody has configured: 9600 8N1, binary,
// DTR and RTS enabled (opening raises them), no flow control, parity not
// checked, XON/XOFF as 0x11/0x13 with thresholds 2048 and 512.
inline DCB driverDefaultDcb() {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fTXContinueOnXoff = 1;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.XonLim = 2048;
    d.XoffLim = 512;
    return d;
}

// False for the line states a UART driver refuses, as Windows does: a rate
// of 0, data bits outside 5..8, an unknown parity or stop-bit code, 1.5 stop
// bits with other than 5 data bits, 2 stop bits with 5.
inline bool driverAcceptsLineState(const DCB& d) {
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8) return false;
    if (d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) return false;
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) return false;
    if (d.StopBits == TWOSTOPBITS && d.ByteSize == 5) return false;
    return true;
}

// The line model's flow-control rules, for a port record with the fields
// dcb, dtr, rts, rtsHeld (handshake RTS dropped because the queue is full),
// xoffReceived (the transmitter is held by an XOFF) and xoffSent (the
// receiver has sent XOFF). Each returns the flow-control byte the port must
// now send to its peer (XON or XOFF), or -1 for none; the caller sends it.

// A line state applied (already checked): a changed DTR or RTS control mode
// sets that line as the mode says; output XON/XOFF turned off frees the
// transmitter; input XON/XOFF turned off after sending XOFF sends XON, as a
// driver does, so the peer is not held off for good.
template <class Port>
int applyLineState(Port& p, const DCB& dcb) {
    const DWORD oldDtr = p.dcb.fDtrControl;
    const DWORD oldRts = p.dcb.fRtsControl;
    p.dcb = dcb;
    if (dcb.fDtrControl != oldDtr) p.dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    if (dcb.fRtsControl != oldRts) {
        p.rtsHeld = false;
        p.rts = dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    }
    if (!dcb.fOutX) p.xoffReceived = false;
    if (!dcb.fInX && p.xoffSent) {
        p.xoffSent = false;
        return static_cast<BYTE>(dcb.XonChar);
    }
    return -1;
}

// A byte was queued: hold the sender off once fewer than XoffLim bytes of the
// queue are free (handshake RTS drops, XOFF goes out once).
template <class Port>
int holdOffWhenFull(Port& p, DWORD queued, DWORD queueSize) {
    if (queueSize - queued >= p.dcb.XoffLim) return -1;
    if (p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !p.rtsHeld) {
        p.rtsHeld = true;
        p.rts = false;
    }
    if (p.dcb.fInX && !p.xoffSent) {
        p.xoffSent = true;
        return static_cast<BYTE>(p.dcb.XoffChar);
    }
    return -1;
}

// Bytes left the queue: release the sender once no more than XonLim wait.
template <class Port>
int releaseAfterDrain(Port& p, DWORD queued) {
    if (queued > p.dcb.XonLim) return -1;
    if (p.rtsHeld) {
        p.rtsHeld = false;
        if (p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) p.rts = true;
    }
    if (p.xoffSent) {
        p.xoffSent = false;
        if (p.dcb.fInX) return static_cast<BYTE>(p.dcb.XonChar);
    }
    return -1;
}

}  // namespace velk

#endif  // VELK_DEVICE_COMMON_DRIVER_RULES_H
