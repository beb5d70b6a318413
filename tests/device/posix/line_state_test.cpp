// The DCB <-> termios mapping of the POSIX backend, bit by bit: every
// character format termios can carry goes there and comes back unchanged,
// the ones it cannot are refused, and flow control and parity checking land
// on their flags. (A pty's driver ignores data-bit and parity changes, so the
// tests over ptys cannot show these.)
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cerrno>

#include "device/posix/line_state.h"

namespace velk {
namespace {

DCB base() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 19200;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.ByteSize = 8;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

termios cooked() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IXANY | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK | IGNPAR | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN | ECHOE | ECHOK;
    t.c_cflag = CS7 | PARENB | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    return t;
}

TEST(PosixLineState, EveryFormatTermiosCarriesComesBack) {
    int formats = 0;
    for (BYTE bits = 5; bits <= 8; ++bits) {
        for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity) {
            for (BYTE stop = ONESTOPBIT; stop <= TWOSTOPBITS; ++stop) {
                DCB d = base();
                d.ByteSize = bits;
                d.Parity = parity;
                d.StopBits = stop;
                const bool expressible = (stop == ONESTOPBIT) || (stop == ONE5STOPBITS && bits == 5) ||
                                         (stop == TWOSTOPBITS && bits != 5);
                EXPECT_EQ(checkLineState(d), expressible ? 0 : EINVAL)
                    << int(bits) << " bits, parity " << int(parity) << ", stop " << int(stop);
                if (!expressible) continue;
                ++formats;
                termios t = cooked();
                lineStateToTermios(d, t);
                DCB back = base();
                back.ByteSize = 0;
                back.Parity = 99;
                back.StopBits = 99;
                termiosToLineState(t, back);
                EXPECT_EQ(back.ByteSize, bits);
                EXPECT_EQ(back.Parity, parity);
                EXPECT_EQ(back.StopBits, stop);
            }
        }
    }
    EXPECT_EQ(formats, 4 * 5 * 2);  // per width: one stop bit and one other
}

TEST(PosixLineState, FormatBitsAreTheUsualOnes) {
    DCB d = base();
    termios t = cooked();
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    lineStateToTermios(d, t);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CMSPAR), static_cast<tcflag_t>(CS7 | PARENB | CSTOPB));
    d.ByteSize = 5;
    d.Parity = ODDPARITY;
    d.StopBits = ONE5STOPBITS;
    lineStateToTermios(d, t);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CMSPAR),
              static_cast<tcflag_t>(CS5 | PARENB | PARODD | CSTOPB));
    d.ByteSize = 8;
    d.Parity = SPACEPARITY;
    d.StopBits = ONESTOPBIT;
    lineStateToTermios(d, t);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CMSPAR), static_cast<tcflag_t>(CS8 | PARENB | CMSPAR));
    // No parity clears CMSPAR too.
    d.Parity = NOPARITY;
    lineStateToTermios(d, t);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CMSPAR), static_cast<tcflag_t>(CS8));
    // HUPCL, the speed and other bits the record does not speak of stay.
    EXPECT_TRUE(t.c_cflag & HUPCL);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
}

TEST(PosixLineState, RecordMakesTheTtyRaw) {
    termios t = cooked();
    lineStateToTermios(base(), t);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXANY | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK | IGNPAR | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(PosixLineState, FlowControlAndParityChecking) {
    DCB d = base();
    termios t = cooked();
    d.fOutxCtsFlow = 1;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    lineStateToTermios(d, t);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    DCB back = base();
    termiosToLineState(t, back);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);

    d = base();
    d.fOutX = 1;
    d.fInX = 1;
    d.fParity = 1;
    d.XonChar = 'q';
    d.XoffChar = 's';
    lineStateToTermios(d, t);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXON | IXOFF | INPCK));
    EXPECT_EQ(t.c_cc[VSTART], 'q');
    EXPECT_EQ(t.c_cc[VSTOP], 's');
    back = base();
    back.fRtsControl = RTS_CONTROL_HANDSHAKE;  // as the record was before
    termiosToLineState(t, back);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.fParity, 1u);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);  // no longer handed to CRTSCTS
    EXPECT_EQ(back.XonChar, 'q');
    EXPECT_EQ(back.XoffChar, 's');

    // Only what was asked: RTS disabled with no flow control stays so.
    d = base();
    d.fRtsControl = RTS_CONTROL_DISABLE;
    lineStateToTermios(d, t);
    back = d;
    termiosToLineState(t, back);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), 0u);
}

TEST(PosixLineState, RecordsTermiosCannotExpressAreRefused) {
    EXPECT_EQ(checkLineState(base()), 0);
    auto refused = [](void (*change)(DCB&)) {
        DCB d = base();
        change(d);
        return checkLineState(d) == EINVAL;
    };
    EXPECT_TRUE(refused([](DCB& d) { d.BaudRate = 0; }));
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 4; }));
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 9; }));
    EXPECT_TRUE(refused([](DCB& d) { d.Parity = 5; }));
    EXPECT_TRUE(refused([](DCB& d) { d.StopBits = 3; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fOutxDsrFlow = 1; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fDsrSensitivity = 1; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fOutxCtsFlow = 1; }));  // CTS without RTS handshake
    EXPECT_TRUE(refused([](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fErrorChar = 1; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fNull = 1; }));
    EXPECT_TRUE(refused([](DCB& d) { d.fAbortOnError = 1; }));
    EXPECT_TRUE(refused([](DCB& d) {
        d.fInX = 1;
        d.XoffChar = d.XonChar;
    }));
    // What is left alone: the queue limits, fTXContinueOnXoff, fBinary.
    DCB d = base();
    d.XonLim = 1;
    d.XoffLim = 60000;
    d.fTXContinueOnXoff = 0;
    d.fBinary = 0;
    d.BaudRate = 123457;
    EXPECT_EQ(checkLineState(d), 0);
}

TEST(PosixLineState, EachMovedCounterRaisesItsFlag) {
    const LineCounters base{5, 6, 7, 8, 9};
    EXPECT_EQ(lineErrorsBetween(base, base), 0u);
    EXPECT_EQ(lineErrorsBetween(base, {6, 6, 7, 8, 9}), CE_FRAME);
    EXPECT_EQ(lineErrorsBetween(base, {5, 7, 7, 8, 9}), CE_OVERRUN);
    EXPECT_EQ(lineErrorsBetween(base, {5, 6, 9, 8, 9}), CE_RXPARITY);
    EXPECT_EQ(lineErrorsBetween(base, {5, 6, 7, 9, 9}), CE_BREAK);
    EXPECT_EQ(lineErrorsBetween(base, {5, 6, 7, 8, 10}), CE_RXOVER);
    EXPECT_EQ(lineErrorsBetween(base, {0, 0, 0, 0, 0}),
              CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK | CE_RXOVER);
    const LineCounters high{2147483647, 0, 0, 0, 0};
    EXPECT_EQ(lineErrorsBetween(high, {-2147483647 - 1, 0, 0, 0, 0}), CE_FRAME);  // wrapped
}

// ---- Speed codes and modem bits ----------------------------------------------

TEST(PosixLineState, StandardRatesHaveTheirSpeedCodesBothWays) {
    const struct {
        DWORD rate;
        speed_t code;
    } table[] = {{50, B50},     {110, B110},     {300, B300},     {1200, B1200},     {2400, B2400},
                 {4800, B4800}, {9600, B9600},   {19200, B19200}, {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {921600, B921600}, {4000000, B4000000}};
    for (const auto& e : table) {
        speed_t code = 0;
        ASSERT_TRUE(speedCodeOfRate(e.rate, &code)) << e.rate;
        EXPECT_EQ(code, e.code) << e.rate;
        EXPECT_EQ(rateOfSpeedCode(e.code), e.rate);
    }
    speed_t code = 0;
    EXPECT_FALSE(speedCodeOfRate(250000, &code));
    EXPECT_FALSE(speedCodeOfRate(14400, &code));
}

TEST(PosixLineState, EachModemInputBitGivesItsOwnFlag) {
    EXPECT_EQ(modemStatusOfBits(0), 0u);
    EXPECT_EQ(modemStatusOfBits(TIOCM_CTS), MS_CTS_ON);
    EXPECT_EQ(modemStatusOfBits(TIOCM_DSR), MS_DSR_ON);
    EXPECT_EQ(modemStatusOfBits(TIOCM_RNG), MS_RING_ON);
    EXPECT_EQ(modemStatusOfBits(TIOCM_CAR), MS_RLSD_ON);
    EXPECT_EQ(modemStatusOfBits(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR),
              MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    // The outputs and the rest say nothing about the inputs.
    EXPECT_EQ(modemStatusOfBits(TIOCM_DTR | TIOCM_RTS | TIOCM_LE | TIOCM_ST | TIOCM_SR), 0u);
}

}  // namespace
}  // namespace velk
