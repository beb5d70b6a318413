// Bad input, tried in bulk: every port function with port numbers outside 0
// to 8 and on ports that are not open, null buffers and negative or huge
// lengths, every command byte with high bits set in the argument, line
// settings and queue sizes a device rejects or that overflow. Each gets its
// documented result, makes no device call it should not make, keeps
// SioWinError as it was unless it reports SIO_WIN_ERROR, and sends nothing:
// port 0's null-modem peer (port 1) receives no byte. Each test prints how many
// inputs it tried.
#include <climits>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "reliability/exported_names.h"
#include "support/port_functions.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

constexpr DWORD kSentinel = 0x5E17;

// Ports 0 and 1 open on a null-modem pair, the log cleared, SioWinError at a
// value every call that must not report an error has to leave alone.
class BadInput : public NullModemTest {
protected:
    void SetUp() override {
        NullModemTest::SetUp();
        lastWinError = kSentinel;
    }
    void TearDown() override {
        std::cout << "[ bad input] " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << ": "
                  << tried << " inputs tried\n";
        RecordProperty("inputs_tried", tried);
        SimTest::TearDown();
    }

    // Nothing reached either end of the pair and nothing was logged.
    void expectUntouched(const std::string& what) {
        EXPECT_TRUE(shim.log().empty()) << what << " made: " << ops().size() << " device calls, first "
                                        << (ops().empty() ? "" : ops().front());
        EXPECT_EQ(sim.snapshot(0).rxCount, 0u) << what;
        EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
        EXPECT_EQ(lastWinError, kSentinel) << what;
    }

    // The call refused with the invalid-parameter code, no device call made.
    void expectRefused(int result, const std::string& what) {
        EXPECT_EQ(result, SIO_WIN_ERROR) << what;
        EXPECT_EQ(static_cast<DWORD>(SioWinError()), kErrInvalidParameter) << what;
        EXPECT_TRUE(shim.log().empty()) << what;
        EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
        lastWinError = kSentinel;
        shim.clearLog();
    }

    int tried = 0;
};

TEST_F(BadInput, PortNumbersOutOfRangeAreRefusedFirst) {
    std::set<std::string> covered = {"SioInfo", "SioDebug", "SioWinError"};  // take no port
    for (const PortFn& fn : portFunctions()) {
        covered.insert(fn.name);
        for (int port : {INT_MIN, INT_MIN + 1, -9, -2, -1, 9, 10, 0x100, INT_MAX - 1, INT_MAX}) {
            const std::string what = fn.name + "(" + std::to_string(port) + ")";
            EXPECT_EQ(fn.call(port), SIO_BAD_PORT) << what;
            expectUntouched(what);
            ++tried;
        }
    }
    EXPECT_EQ(covered, exportedNames());
    // The open ports were not disturbed.
    EXPECT_TRUE(sim.snapshot(0).open);
    EXPECT_TRUE(sim.snapshot(1).open);
}

TEST_F(BadInput, PortsNotOpenAnswerNotOpen) {
    sim.setLoopback(2);  // present but never opened; 3 to 8 are absent
    for (const PortFn& fn : portFunctions()) {
        if (fn.name == "SioReset") continue;
        for (int port = 2; port < SIO_PORT_COUNT; ++port) {
            const std::string what = fn.name + "(" + std::to_string(port) + ")";
            EXPECT_EQ(fn.call(port), SIO_NOT_OPEN) << what;
            expectUntouched(what);
            ++tried;
        }
    }
    // SioUnGetc on a port that is not open stores nothing.
    for (int port = 2; port < SIO_PORT_COUNT; ++port) EXPECT_EQ(PortTable[port].pushedBack, 0) << port;
    // A port that was open and closed again is not open either.
    ASSERT_EQ(SioDone(1), 1);
    shim.clearLog();
    for (const PortFn& fn : portFunctions()) {
        if (fn.name == "SioReset") continue;
        EXPECT_EQ(fn.call(1), SIO_NOT_OPEN) << fn.name;
        expectUntouched(fn.name + " after SioDone");
        ++tried;
    }
}

TEST_F(BadInput, NullBuffersAndNegativeLengthsSendAndReadNothing) {
    char buf[16] = {};
    for (int length : {1, 2, 16, 4096, INT_MAX}) {
        expectRefused(SioPuts(0, nullptr, length), "SioPuts(null, " + std::to_string(length) + ")");
        ++tried;
    }
    for (int length : {-1, -2, -16, -4096, INT_MIN + 1, INT_MIN}) {
        expectRefused(SioPuts(0, buf, length), "SioPuts(buf, " + std::to_string(length) + ")");
        expectRefused(SioPuts(0, nullptr, length), "SioPuts(null, " + std::to_string(length) + ")");
        tried += 2;
    }

    // Bytes waiting at port 0 must survive every refused read.
    ASSERT_EQ(SioPuts(1, "xyz", 3), 3);
    shim.clearLog();
    for (int size : {1, 3, 4096, INT_MAX}) {
        expectRefused(SioGets(0, nullptr, size), "SioGets(null, " + std::to_string(size) + ")");
        ++tried;
    }
    for (int size : {-1, -2, -4096, INT_MIN + 1, INT_MIN}) {
        expectRefused(SioGets(0, buf, size), "SioGets(buf, " + std::to_string(size) + ")");
        expectRefused(SioGets(0, nullptr, size), "SioGets(null, " + std::to_string(size) + ")");
        tried += 2;
    }
    EXPECT_EQ(sim.snapshot(0).rxCount, 3u);

    // With a byte pushed back: a null buffer is still not written and the
    // byte stays pushed back.
    ASSERT_EQ(SioUnGetc(0, 'Q'), 0);
    expectRefused(SioGets(0, nullptr, 5), "SioGets(null, 5) with a byte pushed back");
    expectRefused(SioGets(0, buf, -1), "SioGets(buf, -1) with a byte pushed back");
    tried += 2;
    EXPECT_EQ(SioGets(0, nullptr, 0), 0);  // nothing asked for
    EXPECT_EQ(SioGets(0, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 'Q');

    // A zero-length request with a null buffer is no fault: nothing moves.
    EXPECT_EQ(SioPuts(0, nullptr, 0), 0);
    EXPECT_EQ(SioGets(0, nullptr, 0), 0);
    tried += 2;
    EXPECT_EQ(sim.snapshot(1).rxCount, 0u);
    EXPECT_EQ(SioGets(0, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_EQ(lastWinError, kSentinel);
}

TEST_F(BadInput, HugeReadSizeTakesOnlyWhatHasArrived) {
    // A buffer as large as the largest size a caller can pass; only the bytes
    // that arrived are written into it.
    // Sized at run time: on 32-bit targets a char[INT_MAX] is refused at
    // compile time as larger than any object can be.
    static volatile std::size_t size = INT_MAX;
    std::unique_ptr<char, void (*)(void*)> big(static_cast<char*>(std::malloc(size)), std::free);
    if (!big) GTEST_SKIP() << "no 2 GiB of address space for the buffer";
    ASSERT_EQ(SioPuts(1, "abc", 3), 3);
    EXPECT_EQ(SioGets(0, big.get(), INT_MAX), 3);
    EXPECT_EQ(std::string(big.get(), 3), "abc");
    EXPECT_EQ(SioGets(0, big.get(), INT_MAX), 0);
    ++tried;
    EXPECT_EQ(lastWinError, kSentinel);
}

// The value part of 32-bit arguments whose low 8 bits are a command.
const int kHighBits[] = {0, 0x100, 0x5A00, 0x7FFFFF00, static_cast<int>(0x80000000u), -256};

TEST_F(BadInput, EveryCommandByteOfSioDtrAndSioRts) {
    struct Line {
        const char* name;
        int (*fn)(int, int);
        std::uint8_t bit;
        DWORD set, clear;
    };
    for (const Line& l : {Line{"SioDTR", SioDTR, kLineDtr, SETDTR, CLRDTR},
                          Line{"SioRTS", SioRTS, kLineRts, SETRTS, CLRRTS}}) {
        for (int high : kHighBits) {
            for (int c = 0; c < 256; ++c) {
                const std::string what = std::string(l.name) + "(" + std::to_string(high | c) + ")";
                const std::uint8_t before = PortTable[0].lineBits;
                shim.clearLog();
                const int r = l.fn(0, high | c);
                switch (c) {
                case 'S':
                case 'C':
                    EXPECT_EQ(r, 1) << what;
                    ASSERT_EQ(shim.log().size(), 1u) << what;
                    EXPECT_EQ(shim.log()[0].op, Op::EscapeCommFunction);
                    EXPECT_EQ(shim.log()[0].arg, c == 'S' ? l.set : l.clear) << what;
                    EXPECT_EQ(PortTable[0].lineBits & l.bit, c == 'S' ? l.bit : 0) << what;
                    break;
                case 'R':
                    EXPECT_EQ(r, before & l.bit) << what;
                    EXPECT_TRUE(shim.log().empty()) << what;
                    break;
                default:
                    EXPECT_EQ(r, SIO_NO_DATA) << what;
                    EXPECT_TRUE(shim.log().empty()) << what;
                    EXPECT_EQ(PortTable[0].lineBits, before) << what;
                }
                EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
                EXPECT_EQ(lastWinError, kSentinel) << what;
                ++tried;
            }
        }
    }
}

TEST_F(BadInput, EveryCommandByteOfSioBrkSig) {
    for (int high : kHighBits) {
        for (int c = 0; c < 256; ++c) {
            const std::string what = "SioBrkSig(" + std::to_string(high | c) + ")";
            shim.clearLog();
            const int r = SioBrkSig(0, high | c);
            if (c == 'A' || c == 'C') {
                EXPECT_EQ(r, 1) << what;
                ASSERT_EQ(shim.log().size(), 1u) << what;
                EXPECT_EQ(shim.log()[0].op, c == 'A' ? Op::SetCommBreak : Op::ClearCommBreak) << what;
                EXPECT_EQ(sim.snapshot(0).breakOn, c == 'A') << what;
            } else {
                EXPECT_EQ(r, c == 'D' ? 0 : SIO_BAD_COMMAND) << what;
                EXPECT_TRUE(shim.log().empty()) << what;
            }
            EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
            EXPECT_EQ(lastWinError, kSentinel) << what;
            ++tried;
        }
    }
}

TEST_F(BadInput, EveryCommandByteOfSioFlow) {
    for (int high : kHighBits) {
        for (int c = 0; c < 256; ++c) {
            const std::string what = "SioFlow(" + std::to_string(high | c) + ")";
            const DCB before = sim.snapshot(0).dcb;
            shim.clearLog();
            EXPECT_EQ(SioFlow(0, high | c), 0) << what;
            // The record is applied whatever the letter.
            ASSERT_FALSE(shim.log().empty()) << what;
            EXPECT_EQ(shim.log()[0].op, Op::SetCommState) << what;
            const DCB after = sim.snapshot(0).dcb;
            switch (c) {
            case 'H':
                EXPECT_TRUE(after.fOutxCtsFlow && after.fRtsControl == RTS_CONTROL_HANDSHAKE && !after.fOutX &&
                            !after.fInX)
                    << what;
                break;
            case 'S':
                EXPECT_TRUE(!after.fOutxCtsFlow && after.fRtsControl == RTS_CONTROL_DISABLE && after.fOutX &&
                            after.fInX)
                    << what;
                break;
            case 'N':
                EXPECT_TRUE(!after.fOutxCtsFlow && after.fRtsControl == RTS_CONTROL_DISABLE && !after.fOutX &&
                            !after.fInX)
                    << what;
                break;
            default:
                EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow) << what;
                EXPECT_EQ(after.fRtsControl, before.fRtsControl) << what;
                EXPECT_EQ(after.fOutX, before.fOutX) << what;
                EXPECT_EQ(after.fInX, before.fInX) << what;
            }
            EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
            EXPECT_EQ(lastWinError, kSentinel) << what;
            ++tried;
        }
        // Back to no flow control for the next round of letters.
        ASSERT_EQ(SioFlow(0, 'N'), 0);
    }
}

TEST_F(BadInput, EveryQueryByteOfSioInfo) {
    for (int high : kHighBits) {
        for (int c = 0; c < 256; ++c) {
            const int r = SioInfo(high | c);
            const int expected = c == 'V' ? 0x20 : (c == '3' || c == 'I') ? 1 : -1;
            EXPECT_EQ(r, expected) << "SioInfo(" << (high | c) << ")";
            ++tried;
        }
    }
    for (int v : {INT_MIN, -103, -1, 0, 1, INT_MAX}) {
        EXPECT_EQ(SioDebug(v), v);
        ++tried;
    }
    expectUntouched("SioInfo and SioDebug");
}

TEST_F(BadInput, LineSettingsTheDeviceRejects) {
    // Every byte value in each field of SioParms, with high bits above it
    // that must be ignored. Whatever the device makes of it the result is 0,
    // nothing is reported through SioWinError and nothing is sent; a rejected
    // record raises no line afterwards and stays in the port's record, so the
    // next SioBaud offers it again and fails too.
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    int rejected = 0;
    for (int field = 0; field < 3; ++field) {
        for (int high : {0, -256}) {
            for (int v = 0; v < 256; ++v) {
                int args[3] = {NOPARITY, ONESTOPBIT, 8};
                args[field] = high | v;
                const std::string what = "SioParms(" + std::to_string(args[0]) + ", " + std::to_string(args[1]) +
                                         ", " + std::to_string(args[2]) + ")";
                shim.clearLog();
                EXPECT_EQ(SioParms(0, args[0], args[1], args[2]), 0) << what;
                ASSERT_FALSE(shim.log().empty()) << what;
                const bool accepted = shim.log()[0].ok;
                EXPECT_EQ(shim.log().size(), accepted ? 2u : 1u) << what << ": DTR raised again only if accepted";
                EXPECT_EQ(dcbTable[0].Parity, args[0] & 0xFF) << what;
                EXPECT_EQ(dcbTable[0].StopBits, args[1] & 0xFF) << what;
                EXPECT_EQ(dcbTable[0].ByteSize, args[2] & 0xFF) << what;
                EXPECT_EQ(SioBaud(0, 6), accepted ? 1 : 0) << what << " then SioBaud";
                if (!accepted) ++rejected;
                EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
                EXPECT_EQ(lastWinError, kSentinel) << what;
                ++tried;
            }
        }
        ASSERT_EQ(SioParms(0, NOPARITY, ONESTOPBIT, 8), 0);
        ASSERT_EQ(SioBaud(0, 6), 1);
    }
    // Most of these are values no UART takes: data bits outside 5..8, parity
    // codes above 4, stop-bit codes above 2.
    EXPECT_GT(rejected, 3 * 2 * 240);

    // Baud rates: codes, literal rates and values that read as huge
    // unsigned rates. Each result is the device's success flag; an accepted
    // rate is what the device now runs at.
    for (int rate : {INT_MIN, -2, -1, 0, 5, 9, 10, 11, 50, 110, 12345, 921600, INT_MAX}) {
        const std::string what = "SioBaud(" + std::to_string(rate) + ")";
        const int r = SioBaud(0, rate);
        EXPECT_TRUE(r == 0 || r == 1) << what;
        if (r == 1) {
            static const DWORD table[] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
            const auto u = static_cast<DWORD>(rate);
            EXPECT_EQ(sim.snapshot(0).dcb.BaudRate, u < 10 ? table[u] : u) << what;
        }
        EXPECT_EQ(sim.snapshot(1).rxCount, 0u) << what;
        EXPECT_EQ(lastWinError, kSentinel) << what;
        ++tried;
    }
    // With a rejected character format in the record no rate gets through.
    ASSERT_EQ(SioParms(0, NOPARITY, ONESTOPBIT, 9), 0);
    for (int rate : {5, 9600, INT_MIN}) {
        EXPECT_EQ(SioBaud(0, rate), 0) << rate;
        ++tried;
    }
}

TEST_F(BadInput, QueueSizesOfAnyValueOpenAWorkingPort) {
    sim.setLoopback(2);
    for (int in : {INT_MIN, -1, 0, 1, 2, 3, 0x7FFF, 0x10000, INT_MAX}) {
        for (int out : {INT_MIN, -1, 0, INT_MAX}) {
            const std::string what = "SioReset(2, " + std::to_string(in) + ", " + std::to_string(out) + ")";
            EXPECT_EQ(SioReset(2, in, out), 0) << what;
            EXPECT_EQ(SioPutc(2, 0x5A), 0) << what;
            EXPECT_EQ(SioGetc(2), 0x5A) << what;
            EXPECT_EQ(SioDone(2), 1) << what;
            EXPECT_FALSE(sim.snapshot(2).open) << what;
            ++tried;
        }
    }
    EXPECT_EQ(lastWinError, kSentinel);
}

TEST_F(BadInput, ByteArgumentsKeepTheirLowEightBits) {
    char got[4] = {};
    struct Case {
        int ch;
        unsigned char sent;
    };
    for (Case c : {Case{INT_MIN, 0x00}, Case{-1, 0xFF}, Case{0x1FF, 0xFF}, Case{0x141, 0x41}, Case{INT_MAX, 0xFF}}) {
        ASSERT_EQ(SioPutc(0, c.ch), 0) << c.ch;
        ASSERT_EQ(SioGets(1, got, sizeof got), 1) << c.ch;
        EXPECT_EQ(static_cast<unsigned char>(got[0]), c.sent) << c.ch;
        ++tried;
    }
    // Push-back: the low byte is pushed back; a low byte of 0 clears.
    ASSERT_EQ(SioUnGetc(0, -1), 0);
    EXPECT_EQ(SioGetc(0), 0xFF);
    ASSERT_EQ(SioUnGetc(0, 'A'), 0);
    ASSERT_EQ(SioUnGetc(0, 0x100), 0);
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
    ASSERT_EQ(SioUnGetc(0, INT_MIN | 'B'), 0);
    EXPECT_EQ(SioGetc(0), 'B');
    tried += 3;
    // Status masks of every shape only ever take away flags.
    sim.injectErrors(0, CE_FRAME | CE_BREAK);
    EXPECT_EQ(SioStatus(0, 0), 0);
    sim.injectErrors(0, CE_FRAME | CE_BREAK);
    EXPECT_EQ(SioStatus(0, INT_MIN), 0);
    sim.injectErrors(0, CE_FRAME | CE_BREAK);
    EXPECT_EQ(SioStatus(0, INT_MIN | CE_BREAK), CE_BREAK);
    tried += 3;
    EXPECT_EQ(lastWinError, kSentinel);
}

}  // namespace
}  // namespace velk
