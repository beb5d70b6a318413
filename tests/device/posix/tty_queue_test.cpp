// The receive queue in front of the POSIX ports, through the public functions
// on a pty whose master end plays the far end of the line: a caller waiting
// on the count sees every piece as it arrives, a full queue leaves the rest in
// the kernel (and counts it) so that flow control holds the sender off with
// nothing lost, a purge empties both, and a reopened port starts empty. The
// loop:// plug keeps the same queue and holds its own sender off when it
// fills.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "device/device_api.h"
#include "port/port_table.h"
#include "support/async_call.h"
#include "support/posix_pty_fixture.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

class PosixQueue : public PosixPty {
protected:
    // n pattern bytes without the XON and XOFF characters, which software
    // flow control takes for itself.
    static std::string flowSafePattern(std::size_t n) {
        std::string data = pattern(n);
        for (char& c : data) {
            if (c == 0x11 || c == 0x13) c = 'x';
        }
        return data;
    }

    // The bytes the kernel holds for the port, not yet in the library's queue.
    int kernelHolds() const {
        int n = -1;
        ioctl(pty.slave, FIONREAD, &n);
        return n;
    }

    // while (SioRxQue(port) < n) {}, as a polling program writes it, but
    // giving up after ten seconds.
    static bool spinUntilRxQue(int port, int n) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (SioRxQue(port) < n) {
            if (std::chrono::steady_clock::now() > end) return false;
        }
        return true;
    }
};

TEST_F(PosixQueue, WaitingOnTheCountSeesEveryPieceAsItArrives) {
    openPty(0);
    const std::string data = pattern(3000);
    std::thread peer([&] {
        for (std::size_t at = 0; at < data.size(); at += 300) {
            pty.send(data.substr(at, 300));
            std::this_thread::sleep_for(2ms);
        }
    });
    // A byte taken between the waits lets the next query answer from the
    // queue alone; the wait after it must still see the pieces that follow.
    std::string got;
    for (int upTo : {300, 1500, 2999}) {
        ASSERT_TRUE(spinUntilRxQue(0, upTo - static_cast<int>(got.size()))) << "waiting for " << upTo;
        const int c = SioGetc(0);
        ASSERT_GE(c, 0);
        got.push_back(static_cast<char>(c));
        EXPECT_GE(SioRxQue(0), upTo - static_cast<int>(got.size()));
    }
    peer.join();
    got += drain(0, data.size() - got.size());
    EXPECT_TRUE(got == data);
}

TEST_F(PosixQueue, AFullQueueHoldsTheSenderOffAndNothingIsLost) {
    // Far more than the queue and the kernel's buffers hold together.
    const std::string data = flowSafePattern(256 * 1024);
    for (int flow : {SIO_FLOW_HARDWARE, SIO_FLOW_SOFTWARE}) {
        SCOPED_TRACE(static_cast<char>(flow));
        openPty(0);
        ASSERT_EQ(SioFlow(0, flow), 0);
        std::atomic<bool> sent{false};
        std::thread peer([&] {
            pty.send(data);
            sent = true;
        });
        // Polling takes in what the queue has room for, no more: the count
        // comes to the full queue and what waits behind it in the kernel
        // (read with nothing arriving in between), however long the peer
        // takes to get going.
        int behind = 0;
        EXPECT_TRUE(waitUntil(
            [&] {
                behind = kernelHolds();
                const int count = SioRxQue(0);
                return behind > 0 && kernelHolds() == behind && count == 4096 + behind;
            },
            20s))
            << "count " << SioRxQue(0) << ", in the kernel " << kernelHolds();
        EXPECT_FALSE(sent);
        const std::string got = drain(0, data.size(), 20s);
        peer.join();
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
        EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
        EXPECT_EQ(SioDone(0), 1);
    }
}

TEST_F(PosixQueue, PurgeEmptiesTheQueueAndTheKernelBuffer) {
    openPty(0);
    for (DWORD flags : {DWORD{PURGE_RXCLEAR}, DWORD{PURGE_RXABORT}}) {
        ASSERT_TRUE(pty.send(pattern(1000)));
        ASSERT_TRUE(spinUntilRxQue(0, 1000));  // in the queue
        ASSERT_TRUE(pty.send("more"));
        ASSERT_TRUE(waitUntil([&] { return kernelHolds() == 4; }));  // in the kernel
        EXPECT_EQ(device().PurgeComm(PortTable[0].handle, flags), 1);
        EXPECT_EQ(SioRxQue(0), 0);
        EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
        EXPECT_EQ(kernelHolds(), 0);
        ASSERT_TRUE(pty.send("after"));
        EXPECT_EQ(drain(0, 5), "after");
    }
    EXPECT_EQ(SioDone(0), 1);
}

TEST_F(PosixQueue, BytesLeftUnreadAtCloseAreNotSeenAfterTheReopen) {
    openPty(0);
    ASSERT_TRUE(pty.send("stale"));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 5; }));
    ASSERT_EQ(SioDone(0), 1);
    ASSERT_EQ(SioReset(0, 8192, 1024), 0);
    EXPECT_EQ(SioRxQue(0), 0);
    ASSERT_TRUE(pty.send("fresh"));
    EXPECT_EQ(drain(0, 5), "fresh");
}

TEST_F(PosixQueue, TheLoopPlugsFullQueueHoldsItsOwnSenderOff) {
    const std::string data = flowSafePattern(8192);
    ASSERT_EQ(velk_map_port(1, "loop://"), 0);
    for (int flow : {SIO_FLOW_HARDWARE, SIO_FLOW_SOFTWARE}) {
        SCOPED_TRACE(static_cast<char>(flow));
        ASSERT_EQ(SioReset(1, 1024, 1024), 0);
        ASSERT_EQ(SioFlow(1, flow), 0);
        AsyncCall put([&] { return SioPuts(1, data.data(), static_cast<int>(data.size())); },
                      [] { SioTxClear(1); });
        // Held off by the filling queue: the write waits with bytes unsent.
        ASSERT_TRUE(waitUntil([] { return SioTxQue(1) > 0; }));
        EXPECT_FALSE(put.done());
        const int held = SioRxQue(1);
        EXPECT_GT(held, 0);
        EXPECT_LE(held, 1024);
        const std::string got = drain(1, data.size());
        ASSERT_TRUE(put.waitDone());
        EXPECT_EQ(put.result(), static_cast<int>(data.size()));
        EXPECT_TRUE(got == data);
        EXPECT_EQ(SioStatus(1, SIO_CE_ALL), 0);  // no overrun
        EXPECT_EQ(SioDone(1), 1);
    }
}

}  // namespace
}  // namespace velk
