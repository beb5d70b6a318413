// SioDTR, SioRTS and SioBrkSig: the request recorded in lineBits before the
// device call and whatever it reports, its read-back and its persistence
// across SioDone and SioReset, RTS refused under handshaking, and break seen
// by the other end of a pair.
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

using OutputLines = NullModemTest;

TEST_F(OutputLines, ReadBackIsTheRequestNotTheLine) {
    // The open raised both lines, but the caller asked nothing yet.
    ASSERT_TRUE(sim.snapshot(0).dtr);
    ASSERT_TRUE(sim.snapshot(0).rts);
    EXPECT_EQ(SioDTR(0, 'R'), 0);
    EXPECT_EQ(SioRTS(0, 'R'), 0);
    EXPECT_TRUE(shim.log().empty()) << "'R' never asks the device";

    EXPECT_EQ(SioDTR(0, 'S'), 1);
    EXPECT_EQ(SioDTR(0, 'R'), 1);
    EXPECT_EQ(SioRTS(0, 'R'), 0);
    EXPECT_EQ(SioRTS(0, 'S'), 1);
    EXPECT_EQ(SioRTS(0, 'R'), 2) << "RTS reads back in place";
    EXPECT_EQ(SioDTR(0, 'R'), 1);
    EXPECT_EQ(PortTable[0].lineBits, 3);

    EXPECT_EQ(SioDTR(0, 'C'), 1);
    EXPECT_FALSE(sim.snapshot(0).dtr);
    EXPECT_EQ(SioDTR(0, 'R'), 0);
    EXPECT_EQ(SioRTS(0, 'R'), 2);
    EXPECT_EQ(SioRTS(0, 'C'), 1);
    EXPECT_FALSE(sim.snapshot(0).rts);
    EXPECT_EQ(SioRTS(0, 'R'), 0);
    EXPECT_EQ(PortTable[0].lineBits, 0);
}

TEST_F(OutputLines, SetAndClearDriveTheLineAtTheOtherEnd) {
    EXPECT_EQ(SioDTR(0, 'C'), 1);
    EXPECT_EQ(SioDSR(1), 0);
    EXPECT_EQ(SioDCD(1), 0);
    EXPECT_EQ(SioDTR(0, 'S'), 1);
    EXPECT_EQ(SioDSR(1), 32);
    EXPECT_EQ(SioDCD(1), 128);
    EXPECT_EQ(SioRTS(0, 'C'), 1);
    EXPECT_EQ(SioCTS(1), 0);
    EXPECT_EQ(SioRTS(0, 'S'), 1);
    EXPECT_EQ(SioCTS(1), 16);
    auto log = shim.log();
    std::vector<DWORD> codes;
    for (const auto& c : log)
        if (c.op == Op::EscapeCommFunction) codes.push_back(c.arg);
    EXPECT_EQ(codes, (std::vector<DWORD>{CLRDTR, SETDTR, CLRRTS, SETRTS}));
}

TEST_F(OutputLines, UnknownOrLowerCaseLettersGiveNoDataAndChangeNothing) {
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    shim.clearLog();
    for (int cmd : {int('s'), int('c'), int('r'), int('X'), 0, 'S' << 8}) {
        EXPECT_EQ(SioDTR(0, cmd), SIO_NO_DATA) << cmd;
        EXPECT_EQ(SioRTS(0, cmd), SIO_NO_DATA) << cmd;
    }
    EXPECT_TRUE(shim.log().empty());
    EXPECT_EQ(PortTable[0].lineBits, 1);
    // Letters are compared on the low 8 bits only.
    EXPECT_EQ(SioRTS(0, 0x7700 | 'S'), 1);
    EXPECT_EQ(SioRTS(0, 0x100 | 'R'), 2);
}

TEST_F(OutputLines, RequestIsRecordedEvenWhenTheDeviceCallFails) {
    shim.failOp(Op::EscapeCommFunction, kErrInvalidHandle, 2);
    EXPECT_EQ(SioDTR(0, 'S'), 0);
    EXPECT_EQ(SioRTS(0, 'S'), 0);
    EXPECT_EQ(SioDTR(0, 'R'), 1);
    EXPECT_EQ(SioRTS(0, 'R'), 2);
    EXPECT_EQ(SioWinError(), 0) << "a success flag of 0 stores nothing";
    shim.failOp(Op::EscapeCommFunction, kErrInvalidHandle, 1);
    EXPECT_EQ(SioDTR(0, 'C'), 0);
    EXPECT_EQ(SioDTR(0, 'R'), 0);
    EXPECT_EQ(shim.count(Op::SetCommState), 0u) << "a failing device is not a refusing driver";
}

TEST_F(OutputLines, RtsSetIsRefusedUnderHandshakingYetRecorded) {
    ASSERT_EQ(SioFlow(0, 'H'), 0);
    EXPECT_EQ(SioRTS(0, 'S'), 0);
    EXPECT_EQ(SioRTS(0, 'R'), 2);
    EXPECT_EQ(SioRTS(0, 'C'), 0);
    EXPECT_TRUE(sim.snapshot(0).rts) << "the device keeps driving RTS itself";
    EXPECT_EQ(SioRTS(0, 'R'), 0);
    EXPECT_EQ(SioDTR(0, 'S'), 1) << "DTR is still the caller's";
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(OutputLines, LineBitsSurviveDoneAndReset) {
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    ASSERT_EQ(SioRTS(0, 'S'), 1);
    ASSERT_EQ(SioDone(0), 1);
    EXPECT_EQ(SioDTR(0, 'R'), SIO_NOT_OPEN);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    EXPECT_EQ(SioDTR(0, 'R'), 1);
    EXPECT_EQ(SioRTS(0, 'R'), 2);
    // And they are what SioFlow raises again on the new opening.
    shim.clearLog();
    ASSERT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_TRUE(sim.snapshot(0).rts);
    EXPECT_EQ(shim.count(Op::EscapeCommFunction), 2u);
}

// A driver without escape functions (as USB CDC drivers can be): the open
// goes on without RESETDEV, and the lines are set through the line state,
// which then keeps them where the caller put them.
class NoEscapes : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim.connectNullModem(0, 1);
        sim.setNoEscapes(0, true);
        open(1);
    }
    bool dtr() const { return sim.snapshot(0).dtr; }
    bool rts() const { return sim.snapshot(0).rts; }
};

TEST_F(NoEscapes, EveryFunctionThatDrivesALineSetsIt) {
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    EXPECT_TRUE(dtr() && rts());
    EXPECT_EQ(SioDTR(0, 'C'), 1);
    EXPECT_EQ(SioDSR(1), 0) << "the other end sees DTR low";
    EXPECT_EQ(SioRTS(0, 'C'), 1);
    EXPECT_FALSE(rts());
    EXPECT_EQ(SioParms(0, 0, 0, 8), 0);
    EXPECT_FALSE(dtr() || rts()) << "applying the record undid the caller's lines";
    EXPECT_EQ(SioRTS(0, 'S'), 1);
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_TRUE(rts()) << "not raised again after 'N' lowered it";
    EXPECT_FALSE(dtr());
    EXPECT_EQ(SioDTR(0, 'S'), 1);
    EXPECT_EQ(SioDCD(1), 128);
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(NoEscapes, HandshakingRefusalStandsAndAFailedApplyLeavesTheRecord) {
    open(0);
    ASSERT_EQ(SioFlow(0, 'H'), 0);
    EXPECT_EQ(SioRTS(0, 'C'), 0);
    EXPECT_TRUE(rts()) << "the driver drives RTS under handshaking";
    shim.failOp(Op::SetCommState, kErrInvalidParameter);
    EXPECT_EQ(SioDTR(0, 'C'), 0);
    EXPECT_TRUE(dtr());
    EXPECT_EQ(dcbTable[0].fDtrControl, DTR_CONTROL_ENABLE) << "the record must say what the device holds";
    EXPECT_EQ(dcbTable[0].fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommState", "EscapeCommFunction", "EscapeCommFunction",
                                               "SetCommState"}));
}

TEST_F(OutputLines, BreakIsSeenAtTheOtherEnd) {
    EXPECT_EQ(SioBrkSig(0, 'A'), 1);
    EXPECT_TRUE(sim.snapshot(0).breakOn);
    EXPECT_EQ(SioStatus(1, CE_BREAK), static_cast<int>(CE_BREAK));
    EXPECT_EQ(SioStatus(0, -1), 0) << "the sender sees no break of its own";
    EXPECT_EQ(SioBrkSig(0, 'C'), 1);
    EXPECT_FALSE(sim.snapshot(0).breakOn);
    EXPECT_EQ(SioStatus(1, -1), 0);
    EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommBreak", "ClearCommError", "ClearCommError",
                                               "ClearCommBreak", "ClearCommError"}));
}

TEST_F(OutputLines, BreakDetectMakesNoDeviceCallAndUnknownLettersAreBadCommands) {
    ASSERT_EQ(SioBrkSig(0, 'A'), 1);
    shim.clearLog();
    EXPECT_EQ(SioBrkSig(0, 'D'), 0) << "whatever the line does";
    EXPECT_EQ(SioBrkSig(0, 0x100 | 'D'), 0);
    for (int cmd : {int('X'), int('a'), int('c'), int('d'), 0, 'A' << 8}) EXPECT_EQ(SioBrkSig(0, cmd), SIO_BAD_COMMAND) << cmd;
    EXPECT_TRUE(shim.log().empty());
    EXPECT_TRUE(sim.snapshot(0).breakOn);
}

TEST_F(OutputLines, FailedBreakCallsShowOnlyAsZero) {
    shim.failOp(Op::SetCommBreak, 31);
    EXPECT_EQ(SioBrkSig(0, 'A'), 0);
    EXPECT_FALSE(sim.snapshot(0).breakOn);
    shim.failOp(Op::ClearCommBreak, 31);
    EXPECT_EQ(SioBrkSig(0, 'C'), 0);
    EXPECT_EQ(SioWinError(), 0);
}

}  // namespace
}  // namespace velk
