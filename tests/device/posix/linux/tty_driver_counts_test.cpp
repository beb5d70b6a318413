// What a tty's status query takes from its driver and a pty cannot show: the
// bytes written and not yet sent (TIOCOUTQ, always 0 on a pty, whose writes
// go straight to the master) and the line-error counters (TIOCGICOUNT, which
// a pty does not keep). The driver's answers are scripted through
// support/ioctl_fault.h; the rest is the pty's. Built on Linux only.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <utility>

#include "support/ioctl_fault.h"
#include "support/posix_pty_fixture.h"

namespace velk {
namespace {

class TtyDriverCounts : public PosixPty {
protected:
    void TearDown() override {
        ioctl_fault::answer(0, nullptr);
        PosixPty::TearDown();
    }
};

// SioTxQue follows the driver's count of unsent bytes down as the far end
// takes them.
TEST_F(TtyDriverCounts, TxQueIsWhatTheDriverHasNotSentYet) {
    openPty(0);
    int unsent = 0;
    ioctl_fault::answer(TIOCOUTQ, [&](void* arg) {
        *static_cast<int*>(arg) = unsent;
        return 0;
    });
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(SioPuts(0, "0123456789", 10), 10);
        for (int left : {10, 3, 0}) {
            unsent = left;
            EXPECT_EQ(SioTxQue(0), left);
        }
    }
    EXPECT_EQ(pty.receive(20), "01234567890123456789");
}

// Each step of a counter is one flag, handed over once by SioStatus; counts
// from before the open are not the port's, and any other status query clears
// the flags as the driver's ClearCommError does.
TEST_F(TtyDriverCounts, EachCounterStepIsReportedOnceBySioStatus) {
    serial_icounter_struct counts{};
    counts.frame = counts.overrun = counts.parity = counts.brk = counts.buf_overrun = 7;
    ioctl_fault::answer(TIOCGICOUNT, [&](void* arg) {
        *static_cast<serial_icounter_struct*>(arg) = counts;
        return 0;
    });
    openPty(0);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    const std::pair<int*, int> steps[] = {{&counts.frame, SIO_CE_FRAME},
                                          {&counts.overrun, SIO_CE_OVERRUN},
                                          {&counts.parity, SIO_CE_RXPARITY},
                                          {&counts.brk, SIO_CE_BREAK},
                                          {&counts.buf_overrun, SIO_CE_RXOVER}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.second);
        ++*step.first;
        EXPECT_EQ(SioStatus(0, SIO_CE_ALL), step.second);
        EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
        *step.first += 2;
        EXPECT_EQ(SioRxQue(0), 0);
        EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    }
    // A step while the caller takes bytes is handed over by a later query
    // at the latest, never lost.
    ASSERT_TRUE(pty.send("abc"));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 3; }));
    char c = 0;
    ASSERT_EQ(SioGets(0, &c, 1), 1);
    ++counts.parity;
    const int first = SioStatus(0, SIO_CE_ALL);
    EXPECT_EQ(first | SioStatus(0, SIO_CE_ALL), SIO_CE_RXPARITY);
    EXPECT_EQ(drain(0, 2), "bc");
}

}  // namespace
}  // namespace velk
