// SioCTS, SioDSR, SioRI, SioDCD and SioStatus: each modem input returned as
// its bit in place, a failed query read as 0, and the accumulated line-error
// flags handed over under a mask and cleared by whichever status query comes
// first.
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

class InputLines : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim.setLoopback(0);
        open(0);
    }
};

TEST_F(InputLines, EachInputIsItsBitInPlace) {
    // A loopback plug: RTS to CTS, DTR to DSR and DCD; RI not wired.
    EXPECT_EQ(SioCTS(0), 16);
    EXPECT_EQ(SioDSR(0), 32);
    EXPECT_EQ(SioDCD(0), 128);
    EXPECT_EQ(SioRI(0), 0);
    sim.setModemInputs(0, MS_RING_ON, MS_RING_ON);
    EXPECT_EQ(SioRI(0), 64);
    EXPECT_EQ(SioCTS(0), 16) << "each function reports its own bit only";

    SioRTS(0, 'C');
    EXPECT_EQ(SioCTS(0), 0);
    EXPECT_EQ(SioDSR(0), 32);
    SioDTR(0, 'C');
    EXPECT_EQ(SioDSR(0), 0);
    EXPECT_EQ(SioDCD(0), 0);
    EXPECT_EQ(SioRI(0), 64);

    // Each input alone, the others held low.
    const std::pair<int (*)(int), DWORD> inputs[] = {
        {SioCTS, MS_CTS_ON}, {SioDSR, MS_DSR_ON}, {SioRI, MS_RING_ON}, {SioDCD, MS_RLSD_ON}};
    const DWORD all = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
    for (const auto& on : inputs) {
        sim.setModemInputs(0, all, on.second);
        for (const auto& f : inputs) {
            EXPECT_EQ(f.first(0), f.second == on.second ? static_cast<int>(on.second) : 0);
        }
    }
}

TEST_F(InputLines, FailedModemQueryReadsAsZero) {
    ASSERT_EQ(SioCTS(0), 16);
    for (int (*f)(int) : {SioCTS, SioDSR, SioRI, SioDCD}) {
        shim.failOp(Op::GetCommModemStatus, 31);
        EXPECT_EQ(f(0), 0);
    }
    sim.setModemInputs(0, MS_RING_ON, MS_RING_ON);
    shim.failOp(Op::GetCommModemStatus, 31);
    EXPECT_EQ(SioRI(0), 0);
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(InputLines, StatusMasksTheFlagsAndClearsThemAll) {
    const DWORD errs = CE_RXOVER | CE_FRAME | CE_BREAK | CE_TXFULL;
    sim.injectErrors(0, errs);
    EXPECT_EQ(SioStatus(0, CE_FRAME), static_cast<int>(CE_FRAME));
    EXPECT_EQ(SioStatus(0, -1), 0) << "the masked-out flags were cleared too";

    sim.injectErrors(0, errs | CE_OVERRUN | CE_RXPARITY);
    EXPECT_EQ(SioStatus(0, -1), static_cast<int>(errs | CE_OVERRUN | CE_RXPARITY)) << "values passed through";

    sim.injectErrors(0, CE_OVERRUN);
    EXPECT_EQ(SioStatus(0, 0), 0);
    EXPECT_EQ(SioStatus(0, -1), 0) << "a mask of 0 still clears";

    sim.injectErrors(0, CE_OVERRUN);
    EXPECT_EQ(SioStatus(0, CE_OVERRUN | CE_BREAK), static_cast<int>(CE_OVERRUN));
    EXPECT_EQ(SioStatus(0, CE_OVERRUN | CE_BREAK), 0) << "the second call in a row finds nothing";
}

TEST_F(InputLines, StatusErrorsArriveFromTheLine) {
    // An overflowing receive queue and a break on the loop itself.
    ASSERT_EQ(SioReset(0, 8, 8), 0);
    std::string many(12, 'x');
    sim.injectReceived(0, many.data(), many.size());
    EXPECT_EQ(SioStatus(0, -1), static_cast<int>(CE_RXOVER));
    ASSERT_EQ(SioBrkSig(0, 'A'), 1);
    EXPECT_EQ(SioStatus(0, CE_BREAK), static_cast<int>(CE_BREAK));
}

TEST_F(InputLines, StatusMissesAnErrorThatAnotherQueryConsumedFirst) {
    // Between the error and SioStatus: a SioGetc that finds no pushed-back
    // byte queries the device and takes the error.
    sim.injectReceived(0, "a", 1);
    sim.injectErrors(0, CE_FRAME);
    EXPECT_EQ(SioGetc(0), 'a');
    EXPECT_EQ(SioStatus(0, -1), 0);
    // Even when it finds nothing.
    sim.injectErrors(0, CE_FRAME);
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
    EXPECT_EQ(SioStatus(0, -1), 0);
}

TEST_F(InputLines, StatusStillSeesAnErrorAfterCallsThatMakeNoQuery) {
    // A SioGetc that returns a pushed-back byte, and a SioGets.
    sim.injectReceived(0, "b", 1);
    SioUnGetc(0, 'p');
    sim.injectErrors(0, CE_FRAME);
    EXPECT_EQ(SioGetc(0), 'p');
    char buf[4];
    EXPECT_EQ(SioGets(0, buf, 4), 1);
    EXPECT_EQ(SioCTS(0), 16);
    EXPECT_EQ(SioStatus(0, -1), static_cast<int>(CE_FRAME));
}

TEST_F(InputLines, FailedStatusQueryReadsAsZeroAndLeavesTheFlags) {
    sim.injectErrors(0, CE_BREAK);
    shim.failOp(Op::ClearCommError, 31);
    EXPECT_EQ(SioStatus(0, -1), 0);
    EXPECT_EQ(SioWinError(), 0);
    EXPECT_EQ(SioStatus(0, -1), static_cast<int>(CE_BREAK)) << "the query that failed cleared nothing";
}

TEST_F(InputLines, ErrorsAreKeptPerPort) {
    sim.setLoopback(1);
    open(1);
    sim.injectErrors(0, CE_FRAME);
    sim.injectErrors(1, CE_OVERRUN);
    EXPECT_EQ(SioStatus(1, -1), static_cast<int>(CE_OVERRUN));
    EXPECT_EQ(SioRxQue(1), 0);
    EXPECT_EQ(SioStatus(0, -1), static_cast<int>(CE_FRAME)) << "port 1's queries left port 0's flags";
}

}  // namespace
}  // namespace velk
