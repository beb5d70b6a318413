// What only Linux shows of the POSIX backend: literal baud rates through
// TCSETS2/BOTHER, read back with TCGETS2 independently of the library, and
// the exclusive flag TIOCEXCL sets (TIOCGEXCL). Built on Linux only.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include "device/device_api.h"
#include "port/port_table.h"
#include "support/posix_pty_fixture.h"
#include "support/tty_probe.h"

namespace velk {
namespace {

TEST_F(PosixPty, OpenSetsAndCloseClearsTheExclusiveFlag) {
    int excl = -1;
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    openPty(0);
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    EXPECT_EQ(SioDone(0), 1);
    // Left set, it would keep others (without root) out of a pty whose master
    // is still open.
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
}

TEST_F(PosixPty, LiteralBaudRateReachesTheDriver) {
    openPty(0);
    probe::Termios2 t{};
    EXPECT_EQ(SioBaud(0, 250000), 1);
    ASSERT_TRUE(probe::readTermios2(pty.slave, &t));
    EXPECT_TRUE(t.bother);
    EXPECT_EQ(t.ospeed, 250000u);
    EXPECT_EQ(t.ispeed, 250000u);
    // The rest of the line state came along in the same request.
    EXPECT_EQ(t.cflag & (CSIZE | PARENB | CSTOPB), static_cast<unsigned>(CS8));

    // Back to a standard rate, through its B* code.
    EXPECT_EQ(SioBaud(0, SIO_BAUD115200), 1);
    ASSERT_TRUE(probe::readTermios2(pty.slave, &t));
    EXPECT_FALSE(t.bother);
    EXPECT_EQ(t.ospeed, 115200u);
    termios c{};
    ASSERT_EQ(tcgetattr(pty.slave, &c), 0);
    EXPECT_EQ(cfgetospeed(&c), static_cast<speed_t>(B115200));

    // A literal rate survives later format changes.
    EXPECT_EQ(SioBaud(0, 31250), 1);
    EXPECT_EQ(SioParms(0, SIO_ODD_PARITY, SIO_TWO_STOP_BITS, 8), 0);
    ASSERT_TRUE(probe::readTermios2(pty.slave, &t));
    EXPECT_TRUE(t.bother);
    EXPECT_EQ(t.ospeed, 31250u);
    EXPECT_EQ(t.cflag & (PARODD | CSTOPB), static_cast<unsigned>(PARODD | CSTOPB));

    // And the device reports the rate it holds.
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_EQ(platformDevice().GetCommState(PortTable[0].handle, &d), 1);
    EXPECT_EQ(d.BaudRate, 31250u);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
}

}  // namespace
}  // namespace velk
