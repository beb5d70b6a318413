// SioBaud, SioParms and SioFlow: the values that reach the device, the record
// that keeps a rejected value and offers it again, the flow-control fields of
// each letter, the raising of DTR and RTS again afterwards, and the framing
// errors seen when the two ends of a pair do not share a format.
#include <cstring>
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

class LineSettings : public NullModemTest {
protected:
    // The EscapeCommFunction codes in the log, in order.
    std::vector<DWORD> escapes() const {
        std::vector<DWORD> codes;
        for (const auto& c : shim.log())
            if (c.op == Op::EscapeCommFunction) codes.push_back(c.arg);
        return codes;
    }
};

TEST_F(LineSettings, BaudByCodeAndByLiteralValue) {
    const DWORD table[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int code = 0; code < 10; ++code) {
        EXPECT_EQ(SioBaud(0, code), 1) << code;
        EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, table[code]) << code;
    }
    struct Literal {
        int rate;
        DWORD expected;
    };
    for (const Literal& l : {Literal{9600, 9600u}, Literal{10, 10u}, Literal{250000, 250000u},
                             Literal{-1, 0xFFFFFFFFu}, Literal{INT32_MIN, 0x80000000u}}) {
        EXPECT_EQ(SioBaud(0, l.rate), 1) << l.rate;
        EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, l.expected) << l.rate;
        EXPECT_EQ(dcbTable[0].BaudRate, l.expected) << l.rate;
    }
}

TEST_F(LineSettings, BaudChangesOnlyTheRateAndRaisesNoLine) {
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    ASSERT_EQ(SioRTS(0, 'S'), 1);
    DCB before = sim.snapshot(0).dcb;
    shim.clearLog();
    EXPECT_EQ(SioBaud(0, 7), 1);
    EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommState"}));
    DCB after = sim.snapshot(0).dcb;
    EXPECT_EQ(after.BaudRate, 38400u);
    after.BaudRate = before.BaudRate;
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST_F(LineSettings, RejectedRateStaysInTheRecordAndIsOfferedAgain) {
    shim.failOp(Op::SetCommState, kErrInvalidParameter);
    EXPECT_EQ(SioBaud(0, 12345), 0);
    EXPECT_EQ(SioWinError(), 0) << "a success flag of 0 stores nothing";
    EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, 19200u);
    EXPECT_EQ(SioParms(0, 0, 0, 8), 0);
    EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, 12345u) << "SioParms applied the record with the rate in it";
}

TEST_F(LineSettings, ValueTheDeviceRejectsSpoilsLaterCallsUntilReplaced) {
    EXPECT_EQ(SioParms(0, 0, 0, 9), 0);  // nine data bits: refused
    EXPECT_EQ(sim.snapshot(0).dcb.ByteSize, 8);
    EXPECT_EQ(dcbTable[0].ByteSize, 9);
    EXPECT_EQ(SioBaud(0, 5), 0) << "the record still asks for nine data bits";
    EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, 19200u);
    EXPECT_EQ(SioParms(0, 0, 0, 8), 0);
    EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, 9600u) << "the rate kept in the record goes out with it";
    EXPECT_EQ(SioBaud(0, 6), 1);
}

TEST_F(LineSettings, ParmsStoresTheLowBytesAndLeavesParityCheckingAlone) {
    for (int checking = 0; checking < 2; ++checking) {
        DCB d = sim.snapshot(0).dcb;
        d.fParity = checking;
        sim.setDeviceState(1, d);
        ASSERT_EQ(SioReset(1, 64, 64), 0);
        EXPECT_EQ(SioParms(1, 2, 0, 7), 0);
        DCB s = sim.snapshot(1).dcb;
        EXPECT_EQ(s.Parity, EVENPARITY);
        EXPECT_EQ(s.StopBits, ONESTOPBIT);
        EXPECT_EQ(s.ByteSize, 7);
        EXPECT_EQ(s.fParity, static_cast<DWORD>(checking));
        EXPECT_EQ(SioParms(1, 0x101, 0x202, 0x306), 0);
        s = sim.snapshot(1).dcb;
        EXPECT_EQ(s.Parity, ODDPARITY);
        EXPECT_EQ(s.StopBits, TWOSTOPBITS);
        EXPECT_EQ(s.ByteSize, 6);
        EXPECT_EQ(s.fParity, static_cast<DWORD>(checking));
    }
}

TEST_F(LineSettings, ParmsReturnsZeroWhetherOrNotTheDeviceTakesIt) {
    EXPECT_EQ(SioParms(0, 0, ONE5STOPBITS, 8), 0);  // 1.5 stop bits need 5 data bits
    EXPECT_EQ(sim.snapshot(0).dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(SioParms(0, 0, ONE5STOPBITS, 5), 0);
    EXPECT_EQ(sim.snapshot(0).dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(SioParms(0, 5, 0, 8), 0);  // no such parity
    EXPECT_EQ(sim.snapshot(0).dcb.Parity, NOPARITY);
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(LineSettings, EachFlowLetterSetsItsFourFieldsAndNothingElse) {
    struct Case {
        int letter;
        DWORD ctsFlow, rtsControl, outX, inX;
    };
    const Case cases[] = {
        {'H', 1, RTS_CONTROL_HANDSHAKE, 0, 0},
        {'S', 0, RTS_CONTROL_DISABLE, 1, 1},
        {'N', 0, RTS_CONTROL_DISABLE, 0, 0},
        {0x100 | 'H', 1, RTS_CONTROL_HANDSHAKE, 0, 0},  // compared on the low 8 bits
        {'S', 0, RTS_CONTROL_DISABLE, 1, 1},
    };
    // Fields SioFlow must leave alone, given values it would not choose.
    dcbTable[0].fOutxDsrFlow = 1;
    dcbTable[0].fDtrControl = DTR_CONTROL_DISABLE;
    dcbTable[0].XonLim = 11;
    dcbTable[0].XoffLim = 22;
    dcbTable[0].XonChar = 'a';
    dcbTable[0].XoffChar = 'b';
    for (const Case& c : cases) {
        shim.clearLog();
        EXPECT_EQ(SioFlow(0, c.letter), 0);
        EXPECT_EQ(shim.count(Op::SetCommState), 1u);
        DCB s = sim.snapshot(0).dcb;
        EXPECT_EQ(s.fOutxCtsFlow, c.ctsFlow) << char(c.letter);
        EXPECT_EQ(s.fRtsControl, c.rtsControl) << char(c.letter);
        EXPECT_EQ(s.fOutX, c.outX) << char(c.letter);
        EXPECT_EQ(s.fInX, c.inX) << char(c.letter);
        EXPECT_EQ(s.fOutxDsrFlow, 1u);
        EXPECT_EQ(s.fDtrControl, DTR_CONTROL_DISABLE);
        EXPECT_EQ(s.XonLim, 11);
        EXPECT_EQ(s.XoffLim, 22);
        EXPECT_EQ(s.XonChar, 'a');
        EXPECT_EQ(s.XoffChar, 'b');
        EXPECT_EQ(s.BaudRate, 19200u);
    }
}

TEST_F(LineSettings, UnknownFlowLetterChangesNothingButAppliesTheRecord) {
    ASSERT_EQ(SioFlow(0, 'H'), 0);
    const int letters[] = {'h', 's', 'n', 'X', 0, 'H' << 8};  // the last: 'H' above the low byte
    for (int letter : letters) {
        DCB before = sim.snapshot(0).dcb;
        shim.clearLog();
        EXPECT_EQ(SioFlow(0, letter), 0);
        EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommState"})) << letter;
        DCB after = sim.snapshot(0).dcb;
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << letter;
    }
}

TEST_F(LineSettings, FlowNoneAfterResetLeavesRtsLowUnlessTheCallerRaisedIt) {
    ASSERT_TRUE(sim.snapshot(0).rts);
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_TRUE(escapes().empty());
    EXPECT_FALSE(sim.snapshot(0).rts) << "the new control mode lowered RTS and nothing raised it again";
    EXPECT_TRUE(sim.snapshot(0).dtr);

    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    ASSERT_EQ(SioRTS(0, 'S'), 1);
    shim.clearLog();
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_EQ(escapes(), (std::vector<DWORD>{SETRTS}));
    EXPECT_TRUE(sim.snapshot(0).rts) << "raised again after the record lowered it";
}

TEST_F(LineSettings, ParmsAndFlowRaiseDtrThenRtsAfterASuccessfulApply) {
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    ASSERT_EQ(SioRTS(0, 'S'), 1);
    shim.clearLog();
    EXPECT_EQ(SioParms(0, 0, 0, 8), 0);
    EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommState", "EscapeCommFunction", "EscapeCommFunction"}));
    EXPECT_EQ(escapes(), (std::vector<DWORD>{SETDTR, SETRTS}));
    shim.clearLog();
    EXPECT_EQ(SioFlow(0, 'x'), 0);
    EXPECT_EQ(escapes(), (std::vector<DWORD>{SETDTR, SETRTS}));

    // Only the lines the caller raised.
    ASSERT_EQ(SioRTS(0, 'C'), 1);
    shim.clearLog();
    EXPECT_EQ(SioParms(0, 0, 0, 8), 0);
    EXPECT_EQ(escapes(), (std::vector<DWORD>{SETDTR}));
    // A line lowered with SioDTR stays as the caller left it.
    ASSERT_EQ(SioDTR(0, 'C'), 1);
    shim.clearLog();
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_TRUE(escapes().empty());
    EXPECT_FALSE(sim.snapshot(0).dtr);
}

TEST_F(LineSettings, NoLineIsRaisedAfterAFailedApply) {
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    ASSERT_EQ(SioRTS(0, 'S'), 1);
    shim.clearLog();
    EXPECT_EQ(SioParms(0, 0, 0, 4), 0);  // refused
    EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommState"}));
    shim.clearLog();
    shim.failOp(Op::SetCommState, 31);
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_EQ(ops(), (std::vector<std::string>{"SetCommState"}));
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(LineSettings, RaisingRtsUnderHandshakeIsRefusedAndIgnored) {
    ASSERT_EQ(SioRTS(0, 'S'), 1);
    shim.clearLog();
    EXPECT_EQ(SioFlow(0, 'H'), 0);
    auto log = shim.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].arg, SETRTS);
    EXPECT_FALSE(log[1].ok) << "the device refuses SETRTS under handshaking";
    EXPECT_EQ(SioWinError(), 0);
}

TEST_F(LineSettings, EndsNotSharingAFormatSeeFramingErrors) {
    open(1);
    // Same format: clean.
    ASSERT_EQ(SioPutc(0, 'a'), 0);
    EXPECT_EQ(SioStatus(1, -1), 0);
    EXPECT_EQ(SioGetc(1), 'a');

    // A different rate.
    ASSERT_EQ(SioBaud(0, 5), 1);
    ASSERT_EQ(SioPutc(0, 'b'), 0);
    EXPECT_EQ(SioStatus(1, -1), static_cast<int>(CE_FRAME));
    ASSERT_EQ(SioBaud(0, 6), 1);
    SioRxClear(1);

    // A different character format; the receiver does not check parity.
    ASSERT_EQ(SioParms(0, EVENPARITY, 0, 7), 0);
    ASSERT_EQ(SioPutc(0, 'c'), 0);
    EXPECT_EQ(SioStatus(1, -1), static_cast<int>(CE_FRAME));
    // Both ends agree again.
    ASSERT_EQ(SioParms(1, EVENPARITY, 0, 7), 0);
    SioRxClear(1);
    ASSERT_EQ(SioPutc(0, 'd'), 0);
    EXPECT_EQ(SioStatus(1, -1), 0);
    EXPECT_EQ(SioGetc(1), 'd');
}

TEST_F(LineSettings, ReceiverCheckingParitySeesParityErrorsToo) {
    DCB d = sim.snapshot(1).dcb;
    d.fParity = 1;
    sim.setDeviceState(1, d);
    open(1);
    ASSERT_EQ(SioParms(1, EVENPARITY, 0, 8), 0);
    ASSERT_EQ(SioPutc(0, 'x'), 0);  // sent with no parity
    EXPECT_EQ(SioStatus(1, -1), static_cast<int>(CE_FRAME | CE_RXPARITY));
}

}  // namespace
}  // namespace velk
