// The transmit side over a simulated null-modem pair: the bytes that reach
// the other end, the write made for a length of 0, the transmit count, the
// purge of SioTxClear, every write failure path and the mended faults
// (negative length, null buffer).
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

class Transmit : public NullModemTest {
protected:
    // Everything waiting at the other end.
    std::string received() {
        char buf[256];
        int n = SioGets(1, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
};

TEST_F(Transmit, PutcSendsTheLowByteOnly) {
    EXPECT_EQ(SioPutc(0, 0x141), 0);
    EXPECT_EQ(SioPutc(0, -1), 0);
    EXPECT_EQ(SioPutc(0, 0x100), 0);
    EXPECT_EQ(received(), std::string("A\xFF\0", 3));
    auto log = shim.log();
    ASSERT_EQ(log.size(), 4u);  // three writes, then the read above
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].op, Op::WriteFile);
        EXPECT_EQ(log[i].arg, 1u);
    }
}

TEST_F(Transmit, PutsSendsTheBytesAsTheyAreInOneWrite) {
    const std::string data("a\0b\xFF\r\n", 6);
    EXPECT_EQ(SioPuts(0, data.data(), 6), 6);
    EXPECT_EQ(ops(), (std::vector<std::string>{"WriteFile"}));
    EXPECT_EQ(shim.log()[0].arg, 6u);
    EXPECT_EQ(received(), data) << "no terminator looked for or added";
}

TEST_F(Transmit, PutsOfLengthZeroMakesTheWrite) {
    EXPECT_EQ(SioPuts(0, "abc", 0), 0);
    EXPECT_EQ(SioPuts(0, nullptr, 0), 0);
    auto log = shim.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].op, Op::WriteFile);
    EXPECT_EQ(log[0].arg, 0u);
    EXPECT_EQ(log[1].op, Op::WriteFile);
    EXPECT_EQ(SioRxQue(1), 0);
}

TEST_F(Transmit, ShortWritesReportWhatTheDeviceTook) {
    // SioPuts returns the device's count; SioPutc returns 0 whatever it is.
    shim.limitCount(Op::WriteFile, 2);
    EXPECT_EQ(SioPuts(0, "abcdef", 6), 2);
    shim.limitCount(Op::WriteFile, 0);
    EXPECT_EQ(SioPuts(0, "ghi", 3), 0);
    shim.limitCount(Op::WriteFile, 0);
    EXPECT_EQ(SioPutc(0, 'j'), 0);
    EXPECT_EQ(received(), "ab") << "nothing resent, nothing added";
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(Transmit, NegativeLengthOrNullBufferSendsNothing) {
    for (int length : {-1, -6, INT32_MIN}) {
        lastWinError = 0;
        EXPECT_EQ(SioPuts(0, "abcdef", length), SIO_WIN_ERROR) << length;
        EXPECT_EQ(SioWinError(), static_cast<int>(kErrInvalidParameter));
    }
    lastWinError = 0;
    EXPECT_EQ(SioPuts(0, nullptr, 5), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrInvalidParameter));
    EXPECT_TRUE(shim.log().empty()) << "no device call";
    EXPECT_EQ(SioRxQue(1), 0) << "nothing on the wire";
}

TEST_F(Transmit, FailedWritesStoreTheErrorAndReturnWinError) {
    shim.failOp(Op::WriteFile, 81);
    EXPECT_EQ(SioPutc(0, 'a'), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 81);
    shim.failOp(Op::WriteFile, 82);
    EXPECT_EQ(SioPuts(0, "abc", 3), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 82);
    EXPECT_EQ(shim.count(Op::WriteFile), 2u) << "nothing is retried";
    EXPECT_EQ(SioRxQue(1), 0);
    // A write on a handle the device no longer knows fails with the device's code.
    DevHandle h = PortTable[0].handle;
    sim.CloseHandle(h);
    EXPECT_EQ(SioPutc(0, 'a'), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrInvalidHandle));
}

TEST_F(Transmit, TxQueCountsNothingPendingAndReadsAFailedQueryAsZero) {
    EXPECT_EQ(SioTxQue(0), 0);
    EXPECT_EQ(ops(), (std::vector<std::string>{"ClearCommError"}));
    shim.failOp(Op::ClearCommError, 83);
    EXPECT_EQ(SioTxQue(0), 0);
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(Transmit, TxClearPurgesTheTransmitSideAndAlwaysReturnsZero) {
    EXPECT_EQ(SioTxClear(0), 0);
    auto log = shim.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].op, Op::PurgeComm);
    EXPECT_EQ(log[0].arg, PURGE_TXABORT | PURGE_TXCLEAR) << "the receive side is left alone";
    shim.failOp(Op::PurgeComm, 84);
    EXPECT_EQ(SioTxClear(0), 0);
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(Transmit, TxClearLeavesReceivedBytes) {
    sim.injectReceived(0, "keep", 4);
    EXPECT_EQ(SioTxClear(0), 0);
    EXPECT_EQ(SioRxQue(0), 4);
}

TEST_F(Transmit, LargeTransferArrivesByteForByte) {
    // A receive queue big enough for the whole block: one write, read back in
    // pieces, every byte value many times over.
    const int kSize = 200000;
    ASSERT_EQ(SioReset(1, 1 << 18, 1024), 0);
    std::string data(kSize, '\0');
    unsigned x = 12345;
    for (int i = 0; i < kSize; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<char>(i < 256 ? i : (x >> 16) & 0xFF);
    }
    EXPECT_EQ(SioPuts(0, data.data(), kSize), kSize);
    EXPECT_EQ(SioRxQue(1), kSize);
    std::string got;
    char buf[4093];
    int n;
    while ((n = SioGets(1, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(n, 0);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes changed on the way";
    EXPECT_EQ(SioStatus(1, -1), 0) << "no line errors";
}

}  // namespace
}  // namespace velk
