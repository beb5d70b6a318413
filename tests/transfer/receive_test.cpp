// The receive side: the push-back slot, byte values at the edges, which calls
// consume the device's accumulated line errors, a full receive queue, every
// read failure path, and the mended faults (negative size, null buffer,
// failed status query in SioGetc).
#include <cstring>
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

class Receive : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim.setUnplugged(0);
        open(0);
    }
    void arrive(const std::string& bytes) { sim.injectReceived(0, bytes.data(), bytes.size()); }
};

TEST_F(Receive, GetcReturnsEachByteThenNoData) {
    const unsigned char bytes[] = {0x00, 0xFF, 0x80, 0x7F, 'A'};
    sim.injectReceived(0, bytes, sizeof bytes);
    EXPECT_EQ(SioGetc(0), 0);
    EXPECT_EQ(SioGetc(0), 255) << "0xFF must not read as a negative code";
    EXPECT_EQ(SioGetc(0), 128);
    EXPECT_EQ(SioGetc(0), 127);
    EXPECT_EQ(SioGetc(0), 'A');
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
}

TEST_F(Receive, GetcWithNothingWaitingMakesNoRead) {
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
    EXPECT_EQ(ops(), (std::vector<std::string>{"ClearCommError"}));
}

TEST_F(Receive, GetcWhoseReadReturnsNothingGivesNoData) {
    arrive("z");
    shim.limitCount(Op::ReadFile, 0);
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA) << "a byte was waiting but the read returned none";
    EXPECT_EQ(SioWinError(), 0);
    EXPECT_EQ(SioGetc(0), 'z');
}

TEST_F(Receive, GetsTakesWhatHasArrivedUpToSizeWithoutTerminating) {
    const unsigned char bytes[] = {'a', 0x00, 0xFF, 'b', 'c'};
    sim.injectReceived(0, bytes, sizeof bytes);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(SioGets(0, buf, 3), 3);
    EXPECT_EQ(std::memcmp(buf, bytes, 3), 0);
    EXPECT_EQ(buf[3], '#') << "nothing stored past the count";
    EXPECT_EQ(SioGets(0, buf, 8), 2);
    EXPECT_EQ(std::memcmp(buf, bytes + 3, 2), 0);
    EXPECT_EQ(static_cast<unsigned char>(buf[2]), 0xFF) << "left from the first read";
    EXPECT_EQ(SioGets(0, buf, 8), 0);
    EXPECT_EQ(SioGets(0, buf, 0), 0);
    EXPECT_EQ(ops(), (std::vector<std::string>{"ReadFile", "ReadFile", "ReadFile", "ReadFile"}))
        << "SioGets makes no status query";
}

TEST_F(Receive, PushBackIsOneSlotDeliveredFirstAndNotCounted) {
    arrive("xy");
    EXPECT_EQ(SioUnGetc(0, 'A'), 0);
    EXPECT_EQ(SioUnGetc(0, 'B'), 0);  // replaces 'A'
    EXPECT_EQ(SioRxQue(0), 2) << "the pushed-back byte is not counted";
    shim.clearLog();
    EXPECT_EQ(SioGetc(0), 'B');
    EXPECT_TRUE(shim.log().empty()) << "a pushed-back byte needs no device call";
    EXPECT_EQ(SioGetc(0), 'x');
    EXPECT_EQ(SioGetc(0), 'y');
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);

    // Only the low 8 bits are kept; 0xFF is a byte like any other.
    EXPECT_EQ(SioUnGetc(0, 0x1FF), 0);
    EXPECT_EQ(SioGetc(0), 255);
    // A zero low byte clears the slot.
    EXPECT_EQ(SioUnGetc(0, 'C'), 0);
    EXPECT_EQ(SioUnGetc(0, 0x100), 0);
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
}

TEST_F(Receive, GetsDeliversThePushedBackByteAlone) {
    arrive("rest");
    SioUnGetc(0, 'A');
    char buf[10];
    std::memset(buf, '#', sizeof buf);
    shim.clearLog();
    EXPECT_EQ(SioGets(0, buf, 10), 1);
    EXPECT_EQ(buf[0], 'A');
    EXPECT_EQ(buf[1], '#');
    EXPECT_TRUE(shim.log().empty());
    EXPECT_EQ(SioGets(0, buf, 10), 4);
    EXPECT_EQ(std::string(buf, 4), "rest");
}

TEST_F(Receive, GetsOfSizeZeroKeepsThePushedBackByte) {
    SioUnGetc(0, 'A');
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(SioGets(0, buf, 0), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(SioGetc(0), 'A');
}

TEST_F(Receive, PushedBackByteSurvivesDoneAndReset) {
    SioUnGetc(0, 'Z');
    ASSERT_EQ(SioDone(0), 1);
    EXPECT_EQ(SioGetc(0), SIO_NOT_OPEN);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    EXPECT_EQ(SioGetc(0), 'Z');
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
}

TEST_F(Receive, RxClearDrainsQueueAndPushedBackByte) {
    arrive("abcdef");
    SioUnGetc(0, 'P');
    EXPECT_EQ(SioRxClear(0), 0);
    EXPECT_EQ(sim.snapshot(0).rxCount, 0u);
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
    shim.clearLog();
    EXPECT_EQ(SioRxClear(0), 0);
    EXPECT_EQ(ops(), (std::vector<std::string>{"ClearCommError"})) << "an empty port returns at once";
}

TEST_F(Receive, WhichCallsConsumeTheAccumulatedLineErrors) {
    struct Case {
        const char* name;
        bool pushBack;
        int (*call)();
        bool consumes;
    };
    static char buf[8];
    const Case cases[] = {
        {"SioGetc", false, [] { return SioGetc(0); }, true},
        {"SioGetc with push-back", true, [] { return SioGetc(0); }, false},
        {"SioRxQue", false, [] { return SioRxQue(0); }, true},
        {"SioTxQue", false, [] { return SioTxQue(0); }, true},
        {"SioRxClear", false, [] { return SioRxClear(0); }, true},
        {"SioGets", false, [] { return SioGets(0, buf, sizeof buf); }, false},
        {"SioGets with push-back", true, [] { return SioGets(0, buf, sizeof buf); }, false},
        {"SioUnGetc", false, [] { return SioUnGetc(0, 'q'); }, false},
        {"SioPuts", false, [] { return SioPuts(0, "z", 1); }, false},
    };
    for (const Case& c : cases) {
        arrive("d");
        if (c.pushBack) SioUnGetc(0, 'p');
        sim.injectErrors(0, CE_FRAME | CE_OVERRUN);
        c.call();
        EXPECT_EQ(SioStatus(0, -1), c.consumes ? 0 : static_cast<int>(CE_FRAME | CE_OVERRUN)) << c.name;
        SioUnGetc(0, 0);
        SioRxClear(0);
    }
}

TEST_F(Receive, FullQueueLosesTheRestAndRaisesRxOver) {
    ASSERT_EQ(SioReset(0, 16, 16), 0);
    std::string sent;
    for (int i = 0; i < 20; ++i) sent += static_cast<char>('a' + i);
    arrive(sent);
    EXPECT_EQ(SioStatus(0, CE_RXOVER), static_cast<int>(CE_RXOVER));
    EXPECT_EQ(SioRxQue(0), 16);
    char buf[32];
    EXPECT_EQ(SioGets(0, buf, sizeof buf), 16);
    EXPECT_EQ(std::string(buf, 16), sent.substr(0, 16)) << "the first bytes are kept, the rest lost";
    EXPECT_EQ(SioStatus(0, -1), 0);
}

TEST_F(Receive, FailedReadsStoreTheErrorAndReturnWinError) {
    arrive("ab");
    shim.failOp(Op::ReadFile, 71);
    EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 71);

    char buf[4];
    shim.failOp(Op::ReadFile, 72);
    EXPECT_EQ(SioGets(0, buf, 4), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 72);

    // SioRxClear stops at the failed read, returns 0 and the code stays.
    shim.failOp(Op::ReadFile, 73);
    EXPECT_EQ(SioRxClear(0), 0);
    EXPECT_EQ(SioWinError(), 73);
    EXPECT_EQ(sim.snapshot(0).rxCount, 2u) << "nothing was lost by the failed reads";
    EXPECT_EQ(SioGets(0, buf, 4), 2);
}

TEST_F(Receive, FailedStatusQueryInGetcIsReportedNotReadAsNoData) {
    // Another port's query leaves a count in the shared status record; a
    // failed query on port 0 must not go by it.
    sim.setUnplugged(1);
    open(1);
    sim.injectReceived(1, "12345", 5);
    ASSERT_EQ(SioRxQue(1), 5);
    shim.clearLog();
    shim.failOp(Op::ClearCommError, 74);
    EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 74);
    EXPECT_EQ(ops(), (std::vector<std::string>{"ClearCommError"})) << "no read after a failed query";

    // A device that has gone away keeps reporting, call after call.
    shim.failOp(Op::ClearCommError, 75, FaultShim::kAlways);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 75);
    EXPECT_EQ(SioRxClear(0), 0) << "SioRxClear ends at the failure";
    shim.clearFaults();
    // A pushed-back byte is still delivered without any query.
    SioUnGetc(0, 'k');
    shim.failOp(Op::ClearCommError, 76, FaultShim::kAlways);
    EXPECT_EQ(SioGetc(0), 'k');
}

TEST_F(Receive, UnpluggedAdapterIsReportedToAPollingCaller) {
    arrive("ab");
    EXPECT_EQ(SioGetc(0), 'a');
    sim.setAbsent(0);  // the adapter is pulled out
    for (int i = 0; i < 3; ++i) {
        lastWinError = 0;
        EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR) << "not a quiet line";
        EXPECT_EQ(SioWinError(), static_cast<int>(kErrGenFailure));
    }
    EXPECT_EQ(SioPuts(0, "x", 1), SIO_WIN_ERROR);
    EXPECT_EQ(SioRxQue(0), 0);
    EXPECT_EQ(SioStatus(0, -1), 0);
    EXPECT_EQ(SioDone(0), 1) << "the handle can still be closed";
    EXPECT_EQ(SioReset(0, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrFileNotFound));
}

TEST_F(Receive, FailedStatusQueryInRxQueReadsAsZeroAndStoresNothing) {
    arrive("abc");
    shim.failOp(Op::ClearCommError, 77);
    EXPECT_EQ(SioRxQue(0), 0);
    EXPECT_EQ(SioWinError(), 0);
    EXPECT_EQ(SioRxQue(0), 3);
}

TEST_F(Receive, NegativeSizeIsRefusedWithoutTouchingTheDeviceOrBuffer) {
    arrive("abc");
    char buf[4] = {'#', '#', '#', '#'};
    for (int size : {-1, -100, INT32_MIN}) {
        EXPECT_EQ(SioGets(0, buf, size), SIO_WIN_ERROR) << size;
        EXPECT_EQ(SioWinError(), static_cast<int>(kErrInvalidParameter));
    }
    EXPECT_TRUE(shim.log().empty());
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(sim.snapshot(0).rxCount, 3u);
    // With a byte pushed back the byte is kept too.
    SioUnGetc(0, 'P');
    EXPECT_EQ(SioGets(0, buf, -1), SIO_WIN_ERROR);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(SioGetc(0), 'P');
}

TEST_F(Receive, NullBufferIsNeverWritten) {
    arrive("abc");
    EXPECT_EQ(SioGets(0, nullptr, 5), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrInvalidParameter));
    EXPECT_TRUE(shim.log().empty());
    EXPECT_EQ(sim.snapshot(0).rxCount, 3u);

    lastWinError = 0;
    EXPECT_EQ(SioGets(0, nullptr, 0), 0) << "nothing asked for, nothing written";
    EXPECT_EQ(SioWinError(), 0);

    SioUnGetc(0, 'P');
    EXPECT_EQ(SioGets(0, nullptr, 1), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrInvalidParameter));
    EXPECT_EQ(SioGets(0, nullptr, 0), 0);
    EXPECT_EQ(SioGetc(0), 'P') << "the pushed-back byte is kept";
}

}  // namespace
}  // namespace velk
