// What only Linux shows of the POSIX backend: literal baud rates through
// TCSETS2/BOTHER, read back with TCGETS2 independently of the library, and
// the exclusive flag TIOCEXCL sets (TIOCGEXCL), and standard rates kept
// working where TCGETS2 is missing. Built on Linux only.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "device/device_api.h"
#include "device/posix/termios2.h"
#include "port/port_table.h"
#include "support/posix_pty_fixture.h"
#include "support/ioctl_fault.h"
#include "support/tty_gaps.h"
#include "support/tty_probe.h"

namespace velk {
namespace {

TEST_F(PosixPty, OpenSetsAndCloseClearsTheExclusiveFlag) {
    int excl = -1;
    VELK_SKIP_IF_NO_REQUEST(ioctl(pty.slave, TIOCGEXCL, &excl) == 0, "TIOCGEXCL");
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
    VELK_SKIP_IF_GAP(velk_gap_rate_record(pty.slave));
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

#if defined(VELK_LINKER_WRAP)
// Where TCGETS2 fails (ENOSYS under qemu-user and some sandboxes; ENOTTY or
// EINVAL from an old driver), the port still opens and takes the standard
// rates through termios; a literal rate is refused and changes nothing.
TEST_F(PosixPty, WithoutTcgets2StandardRatesWorkAndLiteralOnesAreRefused) {
    for (int err : {ENOSYS, ENOTTY, EINVAL}) {
        SCOPED_TRACE(err);
        ioctl_fault::fail(termios2::readRequest(), err);
        openPty(0);
        EXPECT_EQ(SioBaud(0, SIO_BAUD19200), 1);
        termios c{};
        ASSERT_EQ(tcgetattr(pty.slave, &c), 0);
        EXPECT_EQ(cfgetospeed(&c), static_cast<speed_t>(B19200));
        DCB d{};
        d.DCBlength = sizeof d;
        ASSERT_EQ(platformDevice().GetCommState(PortTable[0].handle, &d), 1);
        EXPECT_EQ(d.BaudRate, 19200u);
        EXPECT_EQ(SioBaud(0, 250000), 0);
        ASSERT_EQ(tcgetattr(pty.slave, &c), 0);
        EXPECT_EQ(cfgetospeed(&c), static_cast<speed_t>(B19200));
        EXPECT_GT(ioctl_fault::answered(), 0);
        ioctl_fault::fail(0, 0);
        EXPECT_EQ(SioDone(0), 1);
    }
}

// A rate field the request leaves unwritten (qemu-user on ppc64el fills no
// speed field of TCGETS) reads as empty, not as what the stack held: the
// speed code says the rate.
TEST_F(PosixPty, AnUnwrittenRateFieldFallsBackToTheSpeedCode) {
    openPty(0);
    probe::Termios2 t{};
    VELK_SKIP_IF_NO_REQUEST(probe::readTermios2(pty.slave, &t), "TCGETS2");
    EXPECT_EQ(SioBaud(0, 250000), 1);  // the last rate read stays in memory
    EXPECT_EQ(SioBaud(0, SIO_BAUD19200), 1);
    ioctl_fault::answer(termios2::readRequest(), [](void*) { return 0; });  // nothing written
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_EQ(platformDevice().GetCommState(PortTable[0].handle, &d), 1);
    EXPECT_GT(ioctl_fault::answered(), 0);
    ioctl_fault::fail(0, 0);
    EXPECT_EQ(d.BaudRate, 19200u);
}
#else
// The requests are made to fail through the linker's --wrap (support/ioctl_fault.h).
TEST_F(PosixPty, WithoutTcgets2StandardRatesWorkAndLiteralOnesAreRefused) {
    GTEST_SKIP() << "needs the linker's --wrap, which this one lacks";
}
TEST_F(PosixPty, AnUnwrittenRateFieldFallsBackToTheSpeedCode) {
    GTEST_SKIP() << "needs the linker's --wrap, which this one lacks";
}
#endif

}  // namespace
}  // namespace velk
