// The mapping between the line state as a DCB record holds it and as termios
// holds it, for the POSIX backend: which records termios can express, the
// termios flags of a record, the record fields read back from termios, raw
// mode, the speed codes of the standard rates, and the MS_* and CE_* flags
// from the driver's modem bits and error counters. Pure
// functions on the records, no system calls, so the mapping is tested on its
// own (a pty's driver, for one, ignores data-bit and parity changes).
#ifndef VELK_DEVICE_POSIX_LINE_STATE_H
#define VELK_DEVICE_POSIX_LINE_STATE_H

#include <termios.h>

#include "device/device_api.h"

namespace velk {

// 0 when termios can express the record, EINVAL when not: a rate of 0, data
// bits outside 5..8, an unknown parity (mark and space need CMSPAR), stop
// bits other than one and two (one and a half only with 5 data bits, two not
// with 5, both being CSTOPB), DSR handshaking or sensitivity, DTR handshaking,
// RTS toggling, error-character or null-byte handling, abort on error, CTS
// flow without RTS handshaking or the reverse (CRTSCTS is both), and
// software flow control with XonChar equal to XoffChar.
int checkLineState(const DCB& d);

// Raw mode: bytes pass unchanged both ways (no CR/LF translation, no
// stripping, breaks and parity errors not turned into signals or marks), no
// echo, no line editing, no signals, the receiver on and modem-status lines
// not holding the port (CLOCAL | CREAD); VMIN 1 and VTIME 0, so that on a
// non-blocking descriptor an empty queue reads as EAGAIN. Flow control,
// parity checking and the character format are left as they are.
void makeRaw(struct termios& t);

// Puts the record's format, flow control and parity checking into t (on
// top of raw mode), leaving the speed alone. The record must pass
// checkLineState.
void lineStateToTermios(const DCB& d, struct termios& t);

// Reads ByteSize, Parity, StopBits, fOutxCtsFlow, fRtsControl (handshake
// when CRTSCTS is on; otherwise left, except that handshake becomes enable),
// fOutX, fInX, fParity, XonChar and XoffChar from t. Other fields of d stay.
void termiosToLineState(const struct termios& t, DCB& d);

// The termios speed code (B9600...) of a standard rate: true with *code set,
// false for a rate that has none (it then goes to the driver as a number).
bool speedCodeOfRate(DWORD rate, speed_t* code);

// The rate of a speed code; where speed_t is the rate itself (the BSDs,
// macOS) a code not in the table is taken as the rate.
DWORD rateOfSpeedCode(speed_t code);

// The MS_* flags of the modem bits TIOCMGET gives (TIOCM_CTS -> MS_CTS_ON,
// TIOCM_DSR -> MS_DSR_ON, TIOCM_RNG -> MS_RING_ON, TIOCM_CAR -> MS_RLSD_ON);
// the output bits and the rest are ignored.
DWORD modemStatusOfBits(int tiocmBits);

// The driver's running counts of line errors (TIOCGICOUNT on Linux).
struct LineCounters {
    int frame;
    int overrun;
    int parity;
    int brk;
    int bufOverrun;
};

// The CE_* flags for the counters that moved between two readings: frame ->
// CE_FRAME, overrun -> CE_OVERRUN, parity -> CE_RXPARITY, break -> CE_BREAK,
// buffer overrun -> CE_RXOVER. A counter that wrapped around has moved too.
DWORD lineErrorsBetween(const LineCounters& before, const LineCounters& now);

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_LINE_STATE_H
