// What the backends share of a serial driver's rules: the reading of a
// device name "COM1" to "COM9" into a port number, the line state a driver
// reports for a port nobody has configured yet, and the line states a UART
// driver refuses. Header-only, for the backends' own use (the tty, the
// network ports, the in-process line model and the simulated device); the
// library above the device layer never needs it.
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

}  // namespace velk

#endif  // VELK_DEVICE_COMMON_DRIVER_RULES_H
