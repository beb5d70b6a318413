// Writes held off by the peer under hardware (CTS/RTS) and software
// (XON/XOFF) flow control: the write blocks until the peer releases the
// line, the transmit count includes it meanwhile, SioTxClear aborts it, and a
// transfer many times the receive queue arrives whole while the receiver
// drains it. The blocked write runs in a second thread; every wait is
// bounded.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/async_call.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

class FlowControl : public NullModemTest {
protected:
    // A write from port 0 in a second thread; if the test fails while it is
    // held, the device aborts the write (not through the library, which may
    // be what is broken) so the thread can end.
    std::unique_ptr<AsyncCall> startWrite(std::function<int()> call) {
        return std::make_unique<AsyncCall>(std::move(call), [this] { abortWrites(); });
    }
    void abortWrites() { sim.PurgeComm(PortTable[0].handle, PURGE_TXABORT); }
    std::string received(int port) {
        char buf[512];
        int n = SioGets(port, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
};

TEST_F(FlowControl, WithoutFlowControlALowCtsHoldsNothing) {
    ASSERT_EQ(SioRTS(1, 'C'), 1);
    ASSERT_EQ(SioCTS(0), 0);
    EXPECT_EQ(SioPuts(0, "free", 4), 4);
    EXPECT_EQ(received(1), "free");
}

TEST_F(FlowControl, HardwareHeldWriteWaitsForCtsAndIsCounted) {
    ASSERT_EQ(SioFlow(0, 'H'), 0);
    ASSERT_EQ(SioRTS(1, 'C'), 1);  // the peer holds us off
    auto w(startWrite([] { return SioPuts(0, "hello", 5); }));
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_FALSE(w->done());
    EXPECT_EQ(SioTxQue(0), 5) << "the held bytes are still waiting to go out";
    EXPECT_EQ(SioRxQue(1), 0);

    ASSERT_EQ(SioRTS(1, 'S'), 1);  // release
    ASSERT_TRUE(w->waitDone());
    EXPECT_EQ(w->result(), 5);
    EXPECT_EQ(received(1), "hello");
    EXPECT_EQ(SioTxQue(0), 0);
}

TEST_F(FlowControl, HardwareHeldPutcWaitsForCts) {
    ASSERT_EQ(SioFlow(0, 'H'), 0);
    ASSERT_EQ(SioRTS(1, 'C'), 1);
    auto w(startWrite([] { return SioPutc(0, 'q'); }));
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_FALSE(w->done());
    ASSERT_EQ(SioRTS(1, 'S'), 1);
    ASSERT_TRUE(w->waitDone());
    EXPECT_EQ(w->result(), 0);
    EXPECT_EQ(SioGetc(1), 'q');
}

TEST_F(FlowControl, SoftwareHeldWriteWaitsForXonAndXonXoffAreConsumed) {
    ASSERT_EQ(SioFlow(0, 'S'), 0);
    ASSERT_EQ(SioPutc(1, 0x13), 0);  // the peer sends XOFF
    EXPECT_EQ(SioRxQue(0), 0) << "XOFF is taken by the device, not queued";
    auto w(startWrite([] { return SioPuts(0, "soft", 4); }));
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_FALSE(w->done());
    EXPECT_EQ(SioTxQue(0), 4);

    ASSERT_EQ(SioPutc(1, 0x11), 0);  // XON
    ASSERT_TRUE(w->waitDone());
    EXPECT_EQ(w->result(), 4);
    EXPECT_EQ(received(1), "soft");
    EXPECT_EQ(SioRxQue(0), 0);
}

TEST_F(FlowControl, ReceiverLeavingSoftwareFlowControlReleasesTheSender) {
    ASSERT_EQ(SioReset(1, 16, 16), 0);  // a small queue: XOFF after 4 bytes
    ASSERT_EQ(SioFlow(0, 'S'), 0);
    ASSERT_EQ(SioFlow(1, 'S'), 0);
    auto w(startWrite([] { return SioPuts(0, "0123456789", 10); }));
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_FALSE(w->done());
    ASSERT_EQ(SioFlow(1, 'N'), 0);  // the receiver stops flow control
    ASSERT_TRUE(w->waitDone());
    EXPECT_EQ(w->result(), 10);
    EXPECT_EQ(received(1), "0123456789");
}

TEST_F(FlowControl, TxClearAbortsAHeldWrite) {
    ASSERT_EQ(SioFlow(0, 'H'), 0);
    ASSERT_EQ(SioRTS(1, 'C'), 1);
    auto w(startWrite([] { return SioPuts(0, "doomed", 6); }));
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_EQ(SioTxQue(0), 6);

    EXPECT_EQ(SioTxClear(0), 0);
    ASSERT_TRUE(w->waitDone());
    EXPECT_EQ(w->result(), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrOperationAborted));
    EXPECT_EQ(SioTxQue(0), 0) << "nothing left waiting";
    ASSERT_EQ(SioRTS(1, 'S'), 1);
    EXPECT_EQ(SioRxQue(1), 0) << "the discarded bytes never go out";
    // The port goes on working.
    EXPECT_EQ(SioPuts(0, "next", 4), 4);
    EXPECT_EQ(received(1), "next");
}

// Sends kSize bytes from port 0 in one write while this thread drains port 1
// through a 1024-byte receive queue; the flow control chosen must keep every
// byte.
void transferThrough(char mode, const std::string& data, std::function<void()> abort) {
    ASSERT_EQ(SioFlow(0, mode), 0);
    ASSERT_EQ(SioFlow(1, mode), 0);
    const int size = static_cast<int>(data.size());
    AsyncCall w([&] { return SioPuts(0, data.data(), size); }, abort);
    std::string got;
    char buf[300];
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (got.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
        int n = SioGets(1, buf, sizeof buf);
        ASSERT_GE(n, 0);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        } else if (w.done() && SioRxQue(1) == 0) {
            break;  // the write has ended and nothing more will come
        } else {
            std::this_thread::yield();
        }
    }
    ASSERT_TRUE(w.waitDone());
    EXPECT_EQ(w.result(), size);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes changed or lost on the way";
    EXPECT_EQ(SioStatus(1, -1) & CE_RXOVER, 0u) << "the receive queue overflowed";
}

TEST_F(FlowControl, HardwareFlowControlCarriesALargeTransferWhole) {
    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    transferThrough('H', data, [this] { abortWrites(); });
}

TEST_F(FlowControl, SoftwareFlowControlCarriesALargeTransferWhole) {
    // Text only: XON and XOFF themselves cannot be data under software flow control.
    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(' ' + (i * 13 + i / 97) % 95);
    transferThrough('S', data, [this] { abortWrites(); });
}

}  // namespace
}  // namespace velk
