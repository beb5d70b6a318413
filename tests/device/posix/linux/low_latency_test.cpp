// The driver's low-latency mode around an open port, with the driver's serial
// record (TIOCGSERIAL, TIOCSSERIAL) scripted through support/ioctl_fault.h,
// since a pty has none: the mode is on while the port is open and back as
// it was after the close, a mode the user had set is left set, and nothing
// else of the record changes. Built on Linux only.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstring>

#include "support/ioctl_fault.h"
#include "support/posix_pty_fixture.h"

namespace velk {
namespace {

class LowLatency : public PosixPty {
protected:
    void SetUp() override {
        PosixPty::SetUp();
        // A record as a 16550A's driver keeps it, with flags of its own.
        std::memset(&record, 0, sizeof record);
        record.type = PORT_16550A;
        record.line = 3;
        record.port = 0x2E8;
        record.irq = 3;
        record.flags = ASYNC_SKIP_TEST | ASYNC_SPD_HI | ASYNC_HARDPPS_CD;
        record.xmit_fifo_size = 16;
        record.baud_base = 115200;
        record.close_delay = 50;
        record.closing_wait = 3000;
        ioctl_fault::answer(TIOCGSERIAL, [this](void* arg) {
            std::memcpy(arg, &record, sizeof record);
            return 0;
        });
        ioctl_fault::answer(TIOCSSERIAL, [this](void* arg) {
            std::memcpy(&record, arg, sizeof record);
            return 0;
        });
    }
    void TearDown() override {
        ioctl_fault::answer(0, nullptr);
        PosixPty::TearDown();
    }

    // The record as it was given, but for the low-latency flag.
    bool sameBut(const serial_struct& was, bool lowLatency) const {
        serial_struct want = was;
        want.flags = lowLatency ? (was.flags | ASYNC_LOW_LATENCY) : (was.flags & ~ASYNC_LOW_LATENCY);
        return std::memcmp(&want, &record, sizeof record) == 0;
    }

    serial_struct record;
};

TEST_F(LowLatency, OnWhileOpenThenBackAsItWasWithEveryOtherFieldKept) {
    const serial_struct before = record;
    openPty(0);
    EXPECT_TRUE(sameBut(before, true)) << "flags 0x" << std::hex << record.flags;
    EXPECT_EQ(ioctl_fault::answered(TIOCSSERIAL), 1);
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0) << "flags 0x" << std::hex << record.flags;
    // A second open and close does the same again.
    openPty(0);
    EXPECT_TRUE(sameBut(before, true));
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0);
}

TEST_F(LowLatency, AModeTheUserHadSetIsLeftSet) {
    record.flags |= ASYNC_LOW_LATENCY;
    const serial_struct before = record;
    openPty(0);
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0) << "flags 0x" << std::hex << record.flags;
    EXPECT_EQ(ioctl_fault::answered(TIOCSSERIAL), 0) << "nothing to change";
}

// A driver that refuses the change (EPERM, EINVAL): the port works all the
// same, and the close asks nothing of the driver.
TEST_F(LowLatency, ADriverThatRefusesTheModeStillOpensAndCloses) {
    ioctl_fault::fail(TIOCSSERIAL, EPERM);
    openPty(0);
    EXPECT_EQ(SioPuts(0, "ok", 2), 2);
    EXPECT_EQ(pty.receive(2), "ok");
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(ioctl_fault::answered(TIOCSSERIAL), 1);
}

}  // namespace
}  // namespace velk
