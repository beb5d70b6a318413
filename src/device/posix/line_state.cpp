// The DCB <-> termios mapping of the POSIX backend (see line_state.h).
#include "device/posix/line_state.h"

#include <sys/ioctl.h>

#include <cerrno>

namespace velk {

int checkLineState(const DCB& d) {
    if (d.BaudRate == 0) return EINVAL;
    if (d.ByteSize < 5 || d.ByteSize > 8) return EINVAL;
    if (d.Parity > SPACEPARITY) return EINVAL;
#ifndef CMSPAR
    if (d.Parity == MARKPARITY || d.Parity == SPACEPARITY) return EINVAL;
#endif
    if (d.StopBits > TWOSTOPBITS) return EINVAL;
    // CSTOPB means 1.5 stop bits with 5 data bits and 2 otherwise.
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) return EINVAL;
    if (d.StopBits == TWOSTOPBITS && d.ByteSize == 5) return EINVAL;
    if (d.fOutxDsrFlow || d.fDsrSensitivity || d.fErrorChar || d.fNull || d.fAbortOnError) return EINVAL;
    if (d.fDtrControl > DTR_CONTROL_ENABLE) return EINVAL;
    if (d.fRtsControl > RTS_CONTROL_HANDSHAKE) return EINVAL;
    if ((d.fOutxCtsFlow != 0) != (d.fRtsControl == RTS_CONTROL_HANDSHAKE)) return EINVAL;
#ifndef CRTSCTS
    if (d.fOutxCtsFlow) return EINVAL;
#endif
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar) return EINVAL;
    return 0;
}

void makeRaw(struct termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXANY | IGNPAR);
#ifdef IUCLC
    t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
    t.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void lineStateToTermios(const DCB& d, struct termios& t) {
    makeRaw(t);
    tcflag_t c = t.c_cflag;
    c &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
    c &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
    c &= ~static_cast<tcflag_t>(CRTSCTS);
    if (d.fOutxCtsFlow) c |= CRTSCTS;
#endif
    switch (d.ByteSize) {
    case 5: c |= CS5; break;
    case 6: c |= CS6; break;
    case 7: c |= CS7; break;
    default: c |= CS8; break;
    }
    switch (d.Parity) {
    case ODDPARITY: c |= PARENB | PARODD; break;
    case EVENPARITY: c |= PARENB; break;
#ifdef CMSPAR
    case MARKPARITY: c |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: c |= PARENB | CMSPAR; break;
#endif
    default: break;
    }
    if (d.StopBits != ONESTOPBIT) c |= CSTOPB;
    t.c_cflag = c | CLOCAL | CREAD;

    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK);
    if (d.fOutX) t.c_iflag |= IXON;
    if (d.fInX) t.c_iflag |= IXOFF;
    if (d.fParity) t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
}

void termiosToLineState(const struct termios& t, DCB& d) {
    switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
    }
    d.Parity = NOPARITY;
    if (t.c_cflag & PARENB) {
        const bool odd = (t.c_cflag & PARODD) != 0;
        d.Parity = odd ? ODDPARITY : EVENPARITY;
#ifdef CMSPAR
        if (t.c_cflag & CMSPAR) d.Parity = odd ? MARKPARITY : SPACEPARITY;
#endif
    }
    d.StopBits = (t.c_cflag & CSTOPB) ? (d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS) : ONESTOPBIT;
    bool handshake = false;
#ifdef CRTSCTS
    handshake = (t.c_cflag & CRTSCTS) != 0;
#endif
    d.fOutxCtsFlow = handshake ? 1 : 0;
    if (handshake) {
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        d.fRtsControl = RTS_CONTROL_ENABLE;
    }
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

namespace {

// The B* codes termios has, by rate; other rates are literal (BOTHER).
struct SpeedCode {
    DWORD rate;
    speed_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

}  // namespace

bool speedCodeOfRate(DWORD rate, speed_t* code) {
    for (const SpeedCode& s : kSpeeds) {
        if (s.rate == rate) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

DWORD rateOfSpeedCode(speed_t code) {
    for (const SpeedCode& s : kSpeeds) {
        if (s.code == code) return s.rate;
    }
    return static_cast<DWORD>(code);
}

DWORD modemStatusOfBits(int tiocmBits) {
    DWORD ms = 0;
    if (tiocmBits & TIOCM_CTS) ms |= MS_CTS_ON;
    if (tiocmBits & TIOCM_DSR) ms |= MS_DSR_ON;
    if (tiocmBits & TIOCM_RNG) ms |= MS_RING_ON;
    if (tiocmBits & TIOCM_CAR) ms |= MS_RLSD_ON;
    return ms;
}

DWORD lineErrorsBetween(const LineCounters& before, const LineCounters& now) {
    DWORD flags = 0;
    if (now.frame != before.frame) flags |= CE_FRAME;
    if (now.overrun != before.overrun) flags |= CE_OVERRUN;
    if (now.parity != before.parity) flags |= CE_RXPARITY;
    if (now.brk != before.brk) flags |= CE_BREAK;
    if (now.bufOverrun != before.bufOverrun) flags |= CE_RXOVER;
    return flags;
}

}  // namespace velk
