// SioReset and SioDone: the default line state read back from the device, the
// XON/XOFF thresholds, the time-outs saved and given back, each failing step
// of SioReset and what it leaves behind, reopening an open port, and
// SioWinError keeping its code.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

bool sameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

const COMMTIMEOUTS kDeviceTimeouts = {10, 20, 30, 40, 50};
const COMMTIMEOUTS kNonWaiting = {MAXDWORD, 0, 0, 0, 0};

// The device operations of a successful SioReset(port, 1024, ...), in order,
// with the argument the log keeps for each.
const std::vector<std::pair<Op, DWORD>> kResetOps = {
    {Op::CreateFileA, 0},        {Op::GetCommTimeouts, 0},
    {Op::GetCommState, 0},       {Op::SetCommState, 0},
    {Op::SetupComm, 1024},       {Op::EscapeCommFunction, RESETDEV},
    {Op::ClearCommError, 0},     {Op::SetCommMask, EV_RXCHAR | EV_BREAK},
    {Op::SetCommTimeouts, 0},
};

class OpenClose : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim.setLoopback(0);
        sim.setDeviceTimeouts(0, kDeviceTimeouts);
    }
};

TEST_F(OpenClose, ResetMakesTheStepsInOrderAndAppliesTheDefaultLineState) {
    // The device comes with a state far from the defaults, and with both line
    // control modes disabled, so the open itself raises neither line.
    DCB d = sim.snapshot(0).dcb;
    d.BaudRate = 300;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    d.fBinary = 0;
    d.fNull = 1;
    d.fOutxDsrFlow = 1;
    d.fOutxCtsFlow = 1;
    d.fOutX = 1;
    d.fInX = 1;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    d.XonChar = 'a';
    d.XoffChar = 'b';
    sim.setDeviceState(0, d);

    ASSERT_EQ(SioReset(0, 1024, 512), 0);

    auto log = shim.log();
    ASSERT_EQ(log.size(), kResetOps.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].op, kResetOps[i].first) << "step " << i << ": " << FaultShim::name(log[i].op);
        EXPECT_EQ(log[i].arg, kResetOps[i].second) << FaultShim::name(log[i].op);
        EXPECT_TRUE(log[i].ok);
    }
    EXPECT_STREQ(deviceName, "COM1");

    DCB s = sim.snapshot(0).dcb;
    EXPECT_EQ(s.DCBlength, 28u);
    EXPECT_EQ(s.BaudRate, 19200u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, NOPARITY);
    EXPECT_EQ(s.StopBits, ONESTOPBIT);
    EXPECT_EQ(s.fBinary, 1u);
    EXPECT_EQ(s.fNull, 0u);
    EXPECT_EQ(s.fOutxDsrFlow, 0u);
    EXPECT_EQ(s.fOutxCtsFlow, 0u);
    EXPECT_EQ(s.fOutX, 0u);
    EXPECT_EQ(s.fInX, 0u);
    EXPECT_EQ(s.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(s.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(s.XonLim, 256);
    EXPECT_EQ(s.XoffLim, 768);
    EXPECT_EQ(s.XonChar, 0x11);
    EXPECT_EQ(s.XoffChar, 0x13);
    EXPECT_EQ(std::memcmp(&s, &dcbTable[0], sizeof s), 0) << "the port's record is what was applied";

    EXPECT_TRUE(sim.snapshot(0).dtr);
    EXPECT_TRUE(sim.snapshot(0).rts);
    EXPECT_EQ(sim.snapshot(0).queueSize, 1024u);
    EXPECT_EQ(sim.snapshot(0).eventMask, EV_RXCHAR | EV_BREAK);
    EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kNonWaiting));
    EXPECT_TRUE(sameTimeouts(resetTimeouts, kNonWaiting));
    EXPECT_TRUE(sameTimeouts(PortTable[0].savedTimeouts, kDeviceTimeouts));
    // The lines were raised by the line state, not by the caller.
    EXPECT_EQ(PortTable[0].lineBits, 0);
    EXPECT_EQ(SioDTR(0, 'R'), 0);
    EXPECT_EQ(SioRTS(0, 'R'), 0);
}

TEST_F(OpenClose, ResetLeavesTheFieldsItDoesNotSetAsTheDeviceReportedThem) {
    for (int variant = 0; variant < 2; ++variant) {
        DCB d = sim.snapshot(0).dcb;
        d.fParity = variant;
        d.fDsrSensitivity = variant;
        d.fTXContinueOnXoff = !variant;
        d.fErrorChar = variant;
        d.fAbortOnError = variant;
        d.ErrorChar = variant ? '?' : 0;
        d.EofChar = variant ? 0x1A : 0;
        d.EvtChar = variant ? 0x7E : 0;
        sim.setDeviceState(0, d);
        ASSERT_EQ(SioReset(0, 64, 64), 0);
        DCB s = sim.snapshot(0).dcb;
        EXPECT_EQ(s.fParity, d.fParity);
        EXPECT_EQ(s.fDsrSensitivity, d.fDsrSensitivity);
        EXPECT_EQ(s.fTXContinueOnXoff, d.fTXContinueOnXoff);
        EXPECT_EQ(s.fErrorChar, d.fErrorChar);
        EXPECT_EQ(s.fAbortOnError, d.fAbortOnError);
        EXPECT_EQ(s.ErrorChar, d.ErrorChar);
        EXPECT_EQ(s.EofChar, d.EofChar);
        EXPECT_EQ(s.EvtChar, d.EvtChar);
        ASSERT_EQ(SioDone(0), 1);
    }
}

TEST_F(OpenClose, XonAndXoffLimitsFollowTheReceiveQueue) {
    struct Case {
        int inQueue;
        WORD xonLim;
        WORD xoffLim;
    };
    const Case cases[] = {
        {0, 0, 0},
        {2, 0, 1},
        {1024, 256, 768},
        {100000, 0x61A8, 0x24F8},         // quotients keep their low 16 bits
        {-1, 0, 0},                       // signed division truncates toward zero
        {-5, 0xFFFF, 0xFFFD},             // -1 and -3
        {715827883, 0xAAAA, 0x0001},      // 3 x inQueue wraps to 0x80000001
        {0x7FFFFFFF, 0xFFFF, 0xFFFF},
        {INT_MIN, 0, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SioReset(0, c.inQueue, 1024), 0) << c.inQueue;
        DCB s = sim.snapshot(0).dcb;
        EXPECT_EQ(s.XonLim, c.xonLim) << "inQueue " << c.inQueue;
        EXPECT_EQ(s.XoffLim, c.xoffLim) << "inQueue " << c.inQueue;
        EXPECT_EQ(shim.log()[4].op, Op::SetupComm);
        EXPECT_EQ(shim.log()[4].arg, static_cast<DWORD>(c.inQueue)) << "the size goes to the device as given";
        ASSERT_EQ(SioDone(0), 1);
        shim.clearLog();
    }
}

TEST_F(OpenClose, DoneGivesBackTheTimeoutsAndCloses) {
    open(0);
    EXPECT_EQ(SioDone(0), 1);
    auto names = ops();
    EXPECT_EQ(names, (std::vector<std::string>{"SetCommTimeouts", "CloseHandle"}));
    EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kDeviceTimeouts));
    EXPECT_FALSE(sim.snapshot(0).open);
    EXPECT_EQ(PortTable[0].handle, kNoDevice);
    EXPECT_EQ(SioDone(0), SIO_NOT_OPEN);
    // The device can be opened again, by this library or anyone else.
    EXPECT_EQ(SioReset(0, 64, 64), 0);
}

TEST_F(OpenClose, DoneClosesWhateverTheTimeoutsOrTheCloseReport) {
    open(0);
    shim.failOp(Op::SetCommTimeouts, 31);
    EXPECT_EQ(SioDone(0), 1) << "the give-back's result is not looked at";
    EXPECT_FALSE(sim.snapshot(0).open);

    open(0);
    shim.failOp(Op::CloseHandle, 6);
    EXPECT_EQ(SioDone(0), 0);
    EXPECT_EQ(PortTable[0].handle, kNoDevice) << "the slot is empty whatever the close reports";
    EXPECT_EQ(SioGetc(0), SIO_NOT_OPEN);
    EXPECT_EQ(SioWinError(), 0) << "a success flag of 0 stores nothing";
}

TEST_F(OpenClose, EachFailingStepOfResetEndsTheCallAndLeavesWhatWasDone) {
    struct Step {
        std::size_t index;  // into kResetOps
        bool leavesOpen;
    };
    const Step steps[] = {{0, false}, {1, true}, {2, true}, {3, true}, {5, true}, {7, true}, {8, true}};
    for (const Step& st : steps) {
        SCOPED_TRACE(FaultShim::name(kResetOps[st.index].first));
        resetLibraryState();
        sim.setDeviceTimeouts(0, kDeviceTimeouts);
        shim.clearLog();
        const DWORD code = 1000 + static_cast<DWORD>(st.index);
        shim.failOp(kResetOps[st.index].first, code);

        EXPECT_EQ(SioReset(0, 1024, 1024), SIO_WIN_ERROR);
        EXPECT_EQ(SioWinError(), static_cast<int>(code));

        // The steps up to the failing one were made, and none after it.
        auto log = shim.log();
        ASSERT_EQ(log.size(), st.index + 1);
        for (std::size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].op, kResetOps[i].first);
            EXPECT_EQ(log[i].ok, i != st.index);
        }
        EXPECT_EQ(PortTable[0].handle != kNoDevice, st.leavesOpen);
        EXPECT_EQ(sim.snapshot(0).open, st.leavesOpen);
        EXPECT_EQ(PortTable[0].lineBits, 0);

        // What the steps before left: line state applied from SetCommState on,
        // the event mask from SetCommMask on, time-outs never changed.
        const bool applied = st.index > 3;
        EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, applied ? 19200u : 9600u);
        // The port's record holds the defaults once they were made, even when
        // the device has not taken them.
        EXPECT_EQ(dcbTable[0].BaudRate, st.index >= 3 ? 19200u : 0u);
        if (st.index == 2) {
            EXPECT_EQ(dcbTable[0].DCBlength, 28u);
        }
        EXPECT_EQ(sim.snapshot(0).eventMask, st.index > 7 ? EV_RXCHAR | EV_BREAK : 0u);
        EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kDeviceTimeouts));
        // Saved from step 5 on; a port never opened keeps all 0.
        EXPECT_TRUE(sameTimeouts(PortTable[0].savedTimeouts, st.index > 1 ? kDeviceTimeouts : COMMTIMEOUTS{}));

        if (st.leavesOpen) {
            // The port counts as open and SioDone closes it as usual.
            EXPECT_EQ(SioRxQue(0), 0);
            shim.clearLog();
            EXPECT_EQ(SioDone(0), 1);
            EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommTimeouts", "CloseHandle"}));
            EXPECT_FALSE(sim.snapshot(0).open);
            EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, PortTable[0].savedTimeouts));
        } else {
            EXPECT_EQ(SioRxQue(0), SIO_NOT_OPEN);
            EXPECT_EQ(SioDone(0), SIO_NOT_OPEN);
        }
    }
}

TEST_F(OpenClose, SetupCommAndTheErrorQueryDoNotEndReset) {
    shim.failOp(Op::SetupComm, 5);
    shim.failOp(Op::ClearCommError, 6);
    EXPECT_EQ(SioReset(0, 1024, 1024), 0);
    EXPECT_EQ(shim.log().size(), kResetOps.size());
    EXPECT_EQ(SioWinError(), 0);
    EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kNonWaiting));
}

TEST_F(OpenClose, FailedTimeoutReadOnReopenGivesBackTheEarlierSavedTimeouts) {
    open(0);
    ASSERT_EQ(SioDone(0), 1);
    // Another program changes the device's time-outs meanwhile.
    const COMMTIMEOUTS later = {1, 2, 3, 4, 5};
    sim.setDeviceTimeouts(0, later);
    shim.failOp(Op::GetCommTimeouts, 9);
    EXPECT_EQ(SioReset(0, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_TRUE(sameTimeouts(PortTable[0].savedTimeouts, kDeviceTimeouts));
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kDeviceTimeouts));
}

TEST_F(OpenClose, AbsentOrHeldDeviceLeavesTheSlotEmpty) {
    sim.setAbsent(2);
    EXPECT_EQ(SioReset(2, 64, 64), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrFileNotFound));
    EXPECT_EQ(PortTable[2].handle, kNoDevice);

    // Another program holds COM1: the open is exclusive.
    DevHandle other = sim.CreateFileA("COM1");
    ASSERT_NE(other, kNoDevice);
    EXPECT_EQ(SioReset(0, 64, 64), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrAccessDenied));
    EXPECT_EQ(PortTable[0].handle, kNoDevice);
    EXPECT_EQ(SioGetc(0), SIO_NOT_OPEN);
    EXPECT_EQ(sim.CloseHandle(other), 1);
    EXPECT_EQ(SioReset(0, 64, 64), 0);
}

TEST_F(OpenClose, ResetOnAnOpenPortClosesItFirstAndLeaksNoHandle) {
    open(0);
    DevHandle first = PortTable[0].handle;
    ASSERT_EQ(SioReset(0, 512, 512), 0);
    auto names = ops();
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[0], "SetCommTimeouts") << "time-outs given back before the close";
    EXPECT_EQ(names[1], "CloseHandle");
    EXPECT_EQ(names[2], "CreateFileA");
    EXPECT_NE(PortTable[0].handle, first);
    EXPECT_EQ(sim.snapshot(0).openCount, 2);
    // The device's own time-outs were saved again, not the non-waiting ones.
    EXPECT_TRUE(sameTimeouts(PortTable[0].savedTimeouts, kDeviceTimeouts));
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_FALSE(sim.snapshot(0).open);
    EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kDeviceTimeouts));
    // The old handle is gone for the device as well.
    DCB scratch{};
    EXPECT_EQ(sim.GetCommState(first, &scratch), 0);
}

TEST_F(OpenClose, ResetOnAnOpenPortWhoseReopenFailsLeavesNothingOpen) {
    open(0);
    shim.failOp(Op::CreateFileA, 2);
    EXPECT_EQ(SioReset(0, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(PortTable[0].handle, kNoDevice);
    EXPECT_FALSE(sim.snapshot(0).open);
    EXPECT_TRUE(sameTimeouts(sim.snapshot(0).timeouts, kDeviceTimeouts));
}

TEST_F(OpenClose, WinErrorKeepsItsCodeUntilTheNextFailure) {
    sim.connectNullModem(0, 1);
    EXPECT_EQ(SioWinError(), 0);
    EXPECT_EQ(SioReset(5, 64, 64), SIO_WIN_ERROR);  // COM6 absent
    const int first = SioWinError();
    EXPECT_EQ(first, static_cast<int>(kErrFileNotFound));

    // Successes of every kind leave it.
    open(0);
    open(1);
    EXPECT_EQ(SioPuts(0, "hi", 2), 2);
    EXPECT_EQ(SioGetc(1), 'h');
    EXPECT_EQ(SioStatus(1, -1), 0);
    EXPECT_EQ(SioWinError(), first);

    // So do failures that show only as a success flag or a 0.
    EXPECT_EQ(SioParms(0, 0, 0, 9), 0);  // rejected by the device
    EXPECT_EQ(SioBaud(0, 5), 0);         // the rejected size is offered again
    shim.failOp(Op::EscapeCommFunction, 50);
    EXPECT_EQ(SioDTR(0, 'S'), 0);
    shim.failOp(Op::SetCommBreak, 51);
    EXPECT_EQ(SioBrkSig(0, 'A'), 0);
    shim.failOp(Op::ClearCommError, 52, 3);
    EXPECT_EQ(SioRxQue(1), 0);
    EXPECT_EQ(SioTxQue(1), 0);
    EXPECT_EQ(SioStatus(1, -1), 0);
    shim.failOp(Op::GetCommModemStatus, 53);
    EXPECT_EQ(SioCTS(0), 0);
    shim.failOp(Op::CloseHandle, 54);
    EXPECT_EQ(SioDone(1), 0);
    EXPECT_EQ(SioWinError(), first);

    // The next failure replaces it.
    shim.failOp(Op::WriteFile, 42);
    EXPECT_EQ(SioPutc(0, 'x'), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), 42);
}

}  // namespace
}  // namespace velk
