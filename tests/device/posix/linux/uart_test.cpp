// The tty kind on a real UART driver, which a pty cannot stand for: run in
// the guest of scripts/vm-drivers.sh, where VELK_TEST_UART names a 16550A
// (the kernel's 8250 driver) that the test puts into its internal loopback;
// skipped with the reason everywhere else. Never set it to a port of the
// machine running the tests: /dev/ttyS0 can be the system console.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/posix_pty_fixture.h"

namespace velk {
namespace {

class RealUart : public PosixLibraryTest {
protected:
    void SetUp() override {
        PosixLibraryTest::SetUp();
        const char* dev = std::getenv("VELK_TEST_UART");
        if (dev == nullptr || *dev == '\0') GTEST_SKIP() << "VELK_TEST_UART names no real UART (run in the guest)";
        // The chip's loopback, through a descriptor of the test's own kept
        // open so that the library's close does not shut the port down.
        fd = ::open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << dev;
        int bits = 0x8000 | TIOCM_DTR | TIOCM_RTS;  // TIOCM_LOOP
        ASSERT_EQ(ioctl(fd, TIOCMBIS, &bits), 0);
        ASSERT_EQ(velk_map_port(0, dev), 0);
        ASSERT_EQ(SioReset(0, 4096, 4096), 0);
    }
    void TearDown() override {
        SioDone(0);
        int loop = 0x8000;
        if (fd >= 0) ioctl(fd, TIOCMBIC, &loop);
        if (fd >= 0) ::close(fd);
        PosixLibraryTest::TearDown();
    }
    int modemBits() {
        int bits = 0;
        EXPECT_EQ(ioctl(fd, TIOCMGET, &bits), 0);
        return bits;
    }
    int fd = -1;
};

// SioDTR and SioRTS reach the chip (TIOCMGET on another descriptor shows
// them), and the inputs wired to them in loopback follow.
TEST_F(RealUart, ModemLinesReachTheChipAndComeBack) {
    for (int on = 0; on <= 1; ++on) {
        const char cmd = on ? 'S' : 'C';
        ASSERT_EQ(SioDTR(0, cmd), 1);
        ASSERT_EQ(SioRTS(0, cmd), 1);
        const int bits = modemBits();
        EXPECT_EQ((bits & TIOCM_DTR) != 0, on == 1);
        EXPECT_EQ((bits & TIOCM_RTS) != 0, on == 1);
        EXPECT_EQ(SioCTS(0), on ? SIO_MS_CTS_ON : 0);
        EXPECT_EQ(SioDSR(0), on ? SIO_MS_DSR_ON : 0);
    }
}

// The driver's counters move with the traffic; a break is accepted by the
// driver (QEMU's 16550 does not loop it back, so no CE_BREAK is expected).
TEST_F(RealUart, CountersFollowTrafficAndABreakIsSent) {
    serial_icounter_struct before{}, after{};
    ASSERT_EQ(ioctl(fd, TIOCGICOUNT, &before), 0);
    ASSERT_EQ(SioPuts(0, "0123456789", 10), 10);
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 10; }));
    ASSERT_EQ(ioctl(fd, TIOCGICOUNT, &after), 0);
    EXPECT_EQ(after.tx - before.tx, 10);
    EXPECT_EQ(after.rx - before.rx, 10);
    EXPECT_EQ(SioBrkSig(0, 'A'), 1);
    EXPECT_EQ(SioBrkSig(0, 'C'), 1);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL) & ~SIO_CE_BREAK, 0);
}

// Software flow control on the chip: an XOFF that comes back through the
// loop holds the transmitter (the driver's queue stays), an XON releases it.
TEST_F(RealUart, XoffHoldsTheTransmitterAndXonReleasesIt) {
    ASSERT_EQ(SioFlow(0, 'S'), 0);
    serial_icounter_struct before{}, now{};
    ASSERT_EQ(ioctl(fd, TIOCGICOUNT, &before), 0);
    ASSERT_EQ(SioPutc(0, 0x13), 0);
    // The chip has received the XOFF (flow control, not data); the line
    // discipline then takes it in its next pass.
    ASSERT_TRUE(waitUntil([&] { return ioctl(fd, TIOCGICOUNT, &now) == 0 && now.rx > before.rx; }));
    EXPECT_EQ(SioRxQue(0), 0);
    usleep(200 * 1000);
    char data[500];
    for (char& c : data) c = 'x';
    ASSERT_EQ(SioPuts(0, data, 500), 500);
    usleep(300 * 1000);
    EXPECT_GT(SioTxQue(0), 400);
    EXPECT_EQ(SioRxQue(0), 0);
    // An XON sent ahead of the queue (TCION) comes back and releases it.
    ASSERT_EQ(tcflow(fd, TCION), 0);
    EXPECT_TRUE(waitUntil([] { return SioRxQue(0) == 500; })) << SioRxQue(0);
    EXPECT_EQ(SioTxQue(0), 0);
}

}  // namespace
}  // namespace velk
