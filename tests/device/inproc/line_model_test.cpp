// What a program relies on of a loopback plug, through the public functions,
// checked alike on loop:// and on the simulated device wired as a loopback
// plug: both are the in-process line model, and each test runs on both. The
// edges: a full receive queue, XON/XOFF turned off while it holds a port, a
// port reopened with bytes left unread, DTR under handshaking.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "device/testing/sim_device.h"
#include "port/port_table.h"
#include "support/async_call.h"
#include "support/library_state.h"
#include "support/wait_until.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velk {
namespace {

enum class Plug { Loop, Sim };
void PrintTo(Plug p, std::ostream* os) { *os << (p == Plug::Loop ? "loop://" : "the simulated device"); }

class LoopbackPlug : public ::testing::TestWithParam<Plug> {
protected:
    static constexpr int kPort = 3;

    void SetUp() override {
        resetLibraryState();
        if (GetParam() == Plug::Loop) {
            setDevice(nullptr);
            ASSERT_EQ(velk_map_port(kPort, "loop://"), 0);
        } else {
            sim.setLoopback(kPort);
            setDevice(&sim);
        }
        ASSERT_EQ(SioReset(kPort, 1024, 1024), 0) << "SioWinError " << SioWinError();
    }

    void TearDown() override {
        resetLibraryState();
        setDevice(nullptr);
        velk_map_port(kPort, nullptr);
    }

    // The device under the library, for what no public function asks.
    DeviceApi& dev() { return GetParam() == Plug::Loop ? platformDevice() : sim; }

    // A write that flow control may hold, in a second thread; should the test
    // fail while it is held, the device aborts it so the thread ends.
    std::unique_ptr<AsyncCall> startWrite(std::function<int()> call) {
        return std::make_unique<AsyncCall>(std::move(call),
                                           [this] { dev().PurgeComm(PortTable[kPort].handle, PURGE_TXABORT); });
    }

    // Everything waiting in the receive queue.
    static std::string drain() {
        std::string got(static_cast<std::size_t>(SioRxQue(kPort)) + 1, '\0');
        const int n = SioGets(kPort, &got[0], static_cast<int>(got.size()));
        got.resize(static_cast<std::size_t>(std::max(n, 0)));
        return got;
    }

    SimDevice sim;
};

// A queue of N bytes holds exactly N: the next byte is lost and raises
// CE_RXOVER, and none before it is. Asked for more than 1 MiB, a queue holds
// 1 MiB.
TEST_P(LoopbackPlug, AQueueOfNBytesHoldsNAndLosesTheNextWithRxOver) {
    for (const int asked : {1000, 5000, 3 << 20}) {
        const int n = std::min(asked, 1 << 20);
        ASSERT_EQ(SioReset(kPort, asked, 1024), 0);
        std::string data(static_cast<std::size_t>(n) + 1, '\0');
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
        ASSERT_EQ(SioPuts(kPort, data.data(), n), n);
        EXPECT_EQ(SioStatus(kPort, SIO_CE_ALL), 0) << asked << ": full, nothing lost yet";
        ASSERT_EQ(SioPutc(kPort, data[n]), 0);
        EXPECT_EQ(SioStatus(kPort, SIO_CE_ALL), SIO_CE_RXOVER) << asked;
        EXPECT_EQ(SioRxQue(kPort), n) << asked;
        EXPECT_TRUE(drain() == data.substr(0, n)) << asked << ": the first N bytes, in order";
    }
}

// A port held off by an XOFF it received sends at once when XON/XOFF is
// turned off, and that old XOFF does not hold it again when XON/XOFF comes
// back on.
TEST_P(LoopbackPlug, TurningXonXoffOffFreesAPortHeldByAnXoff) {
    ASSERT_EQ(SioFlow(kPort, 'S'), 0);
    ASSERT_EQ(SioPutc(kPort, 0x13), 0);  // its own XOFF comes back
    EXPECT_EQ(SioRxQue(kPort), 0) << "XOFF is flow control, not data";
    auto held = startWrite([] { return SioPutc(kPort, 'a'); });
    ASSERT_TRUE(waitUntil([] { return SioTxQue(kPort) == 1; })) << "the write is held";

    ASSERT_EQ(SioFlow(kPort, 'N'), 0);
    ASSERT_TRUE(held->waitDone());
    EXPECT_EQ(held->result(), 0);
    EXPECT_EQ(SioGetc(kPort), 'a');

    ASSERT_EQ(SioFlow(kPort, 'S'), 0);
    auto again = startWrite([] { return SioPutc(kPort, 'b'); });
    ASSERT_TRUE(again->waitDone()) << "held by the XOFF from before";
    EXPECT_EQ(SioGetc(kPort), 'b');
}

// An XOFF received before the close does not hold the port once it is
// reopened: the transmitter of a fresh open is free, below the port table
// (where the device still has XON/XOFF on from before) as through SioReset.
TEST_P(LoopbackPlug, AnXoffReceivedBeforeTheCloseDoesNotHoldTheReopenedPort) {
    ASSERT_EQ(SioFlow(kPort, 'S'), 0);
    ASSERT_EQ(SioPutc(kPort, 0x13), 0);  // its own XOFF comes back
    {
        auto held = startWrite([] { return SioPutc(kPort, 'a'); });
        ASSERT_TRUE(waitUntil([] { return SioTxQue(kPort) == 1; })) << "the write is held";
        ASSERT_EQ(SioTxClear(kPort), 0);
        ASSERT_TRUE(held->waitDone());
    }
    ASSERT_EQ(SioDone(kPort), 1);
    const DevHandle h = dev().CreateFileA("COM4");
    ASSERT_NE(h, kNoDevice);
    {
        DWORD n = 0;
        AsyncCall write([&] { return static_cast<int>(dev().WriteFile(h, "c", 1, &n)); },
                        [&] { dev().PurgeComm(h, PURGE_TXABORT); });
        EXPECT_TRUE(write.waitDone()) << "the device's open held by the XOFF from before the close";
    }
    ASSERT_EQ(dev().CloseHandle(h), 1);
    ASSERT_EQ(SioReset(kPort, 1024, 1024), 0);
    ASSERT_EQ(SioFlow(kPort, 'S'), 0);
    auto after = startWrite([] { return SioPutc(kPort, 'b'); });
    ASSERT_TRUE(after->waitDone()) << "held by the XOFF from before the close";
    EXPECT_EQ(after->result(), 0);
    EXPECT_EQ(SioGetc(kPort), 'b');
}

// A port whose filling queue sent XOFF sends XON when XON/XOFF is turned off,
// so the other end is not held off for good. On the plug the XON comes back
// to the port itself, which now takes it as data.
TEST_P(LoopbackPlug, TurningXonXoffOffAfterAnXoffSendsXon) {
    ASSERT_EQ(SioReset(kPort, 16, 16), 0);  // XOFF once fewer than 12 of 16 bytes are free
    ASSERT_EQ(SioFlow(kPort, 'S'), 0);
    auto w = startWrite([] { return SioPuts(kPort, "abcde", 5); });
    ASSERT_TRUE(w->waitDone()) << "held before the fifth byte";
    ASSERT_EQ(SioFlow(kPort, 'N'), 0);
    EXPECT_EQ(drain(), "abcde\x11");
}

// Under hardware flow control a port whose queue fills holds itself off (RTS,
// its own CTS, drops) and is released as soon as no more than XonLim bytes
// wait: one byte read from 5 lets the held write go on.
TEST_P(LoopbackPlug, AHeldOffWriteGoesOnOnceTheQueueDrainsToXonLim) {
    ASSERT_EQ(SioReset(kPort, 16, 16), 0);  // held at 5 bytes queued, released at 4
    ASSERT_EQ(SioFlow(kPort, 'H'), 0);
    auto w = startWrite([] { return SioPuts(kPort, "abcdef", 6); });
    ASSERT_TRUE(waitUntil([] { return SioTxQue(kPort) == 1; })) << "the last byte is held";
    EXPECT_EQ(SioCTS(kPort), 0);
    EXPECT_EQ(SioGetc(kPort), 'a');
    ASSERT_TRUE(w->waitDone());
    EXPECT_EQ(w->result(), 6);
    EXPECT_EQ(drain(), "bcdef");
}

// A port reopened, after SioDone or by SioReset on the open port, starts with
// an empty queue: what came back before is gone.
TEST_P(LoopbackPlug, AReopenedPortStartsEmpty) {
    ASSERT_EQ(SioPuts(kPort, "stale", 5), 5);
    ASSERT_EQ(SioRxQue(kPort), 5);
    ASSERT_EQ(SioDone(kPort), 1);
    ASSERT_EQ(SioReset(kPort, 1024, 1024), 0);
    EXPECT_EQ(SioRxQue(kPort), 0);
    EXPECT_EQ(SioGetc(kPort), SIO_NO_DATA);

    ASSERT_EQ(SioPuts(kPort, "again", 5), 5);
    ASSERT_EQ(SioReset(kPort, 1024, 1024), 0);
    EXPECT_EQ(SioRxQue(kPort), 0);
    EXPECT_EQ(SioGetc(kPort), SIO_NO_DATA);
}

// Under DTR handshaking the driver owns DTR: raising or lowering it is
// refused as an invalid parameter, and the line stays as it was.
TEST_P(LoopbackPlug, DtrUnderHandshakingRefusesToBeTold) {
    const DevHandle h = PortTable[kPort].handle;
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_EQ(dev().GetCommState(h, &d), 1);
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_EQ(dev().SetCommState(h, &d), 1);
    EXPECT_EQ(SioDTR(kPort, 'C'), 0);
    EXPECT_EQ(dev().GetLastError(), kErrInvalidParameter);
    EXPECT_EQ(SioDSR(kPort), SIO_MS_DSR_ON) << "DTR is still raised";
    EXPECT_EQ(SioDTR(kPort, 'S'), 0);
}

INSTANTIATE_TEST_SUITE_P(Plug, LoopbackPlug, ::testing::Values(Plug::Loop, Plug::Sim),
                         [](const ::testing::TestParamInfo<Plug>& p) {
                             return std::string(p.param == Plug::Loop ? "Loop" : "Sim");
                         });

}  // namespace
}  // namespace velk
