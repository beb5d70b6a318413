// One application session over a simulated null-modem cable between COM1
// (the application, port 0) and COM2 (a modem-like device, port 1), using all
// 25 functions the way an application would: check the library, open both
// ends, agree on a line format, bring up the handshake lines, exchange a
// command and its reply, push a byte back while parsing, send a break, drain
// stray input, ride out a peer that holds transmission off, report a failure
// and close.
#include <chrono>
#include <cstring>
#include <string>

#include "support/async_call.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

class EndToEnd : public SimTest {};

// Takes the bytes that have arrived on a port up to and including a newline,
// without waiting for more (the simulated cable delivers at once).
std::string readLine(int port) {
    std::string line;
    for (int c; (c = SioGetc(port)) >= 0;) {
        line += static_cast<char>(c);
        if (c == '\n') break;
    }
    return line;
}

TEST_F(EndToEnd, ApplicationSessionOverANullModemCable) {
    sim.connectNullModem(0, 1);
    const int app = 0, dev = 1;

    // The library is the one the application was written for.
    ASSERT_EQ(SioInfo(SIO_INFO_VERSION), 0x20);
    ASSERT_EQ(SioDebug(-7), -7);

    // Open both ends; the default state is already identical on both.
    ASSERT_EQ(SioReset(app, 1024, 1024), 0);
    ASSERT_EQ(SioReset(dev, 1024, 1024), 0);

    // Agree on 9600 baud 8N1, one end by code and the other by value.
    EXPECT_EQ(SioBaud(app, SIO_BAUD9600), 1);
    EXPECT_EQ(SioBaud(dev, 9600), 1);
    EXPECT_EQ(SioParms(app, SIO_NO_PARITY, SIO_ONE_STOP_BIT, SIO_WORD_LENGTH8), 0);
    EXPECT_EQ(SioParms(dev, SIO_NO_PARITY, SIO_ONE_STOP_BIT, SIO_WORD_LENGTH8), 0);

    // The application raises DTR and RTS; the device sees DSR, DCD and CTS.
    EXPECT_EQ(SioDTR(app, SIO_LINE_SET), 1);
    EXPECT_EQ(SioRTS(app, SIO_LINE_SET), 1);
    EXPECT_EQ(SioDSR(dev), SIO_MS_DSR_ON);
    EXPECT_EQ(SioDCD(dev), SIO_MS_RLSD_ON);
    EXPECT_EQ(SioCTS(dev), SIO_MS_CTS_ON);
    EXPECT_EQ(SioRI(app), 0);
    // The application sends under hardware flow control; the device none.
    EXPECT_EQ(SioFlow(app, SIO_FLOW_HARDWARE), 0);
    EXPECT_EQ(SioFlow(dev, SIO_FLOW_NONE), 0);
    EXPECT_EQ(SioRTS(dev, SIO_LINE_SET), 1);  // the device lets the application send
    EXPECT_EQ(SioCTS(app), SIO_MS_CTS_ON);
    EXPECT_EQ(SioDTR(app, SIO_LINE_READ), 1);

    // A command goes out as a block.
    const char cmd[] = "ATI\r";
    EXPECT_EQ(SioPuts(app, cmd, 4), 4);
    EXPECT_EQ(SioTxQue(app), 0);
    EXPECT_EQ(SioRxQue(dev), 4);
    // The device peeks at the first byte, puts it back and reads the command.
    int first = SioGetc(dev);
    EXPECT_EQ(first, 'A');
    EXPECT_EQ(SioUnGetc(dev, first), 0);
    char buf[64];
    EXPECT_EQ(SioGets(dev, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 'A');
    int n = SioGets(dev, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "TI\r");

    // The reply comes back byte by byte, with a binary status byte.
    for (char c : std::string("velk\xFF\r\n", 7)) EXPECT_EQ(SioPutc(dev, c), 0);
    EXPECT_EQ(readLine(app), std::string("velk\xFF\r\n", 7));
    EXPECT_EQ(SioGetc(app), SIO_NO_DATA);
    EXPECT_EQ(SioStatus(app, SIO_CE_ALL), 0);

    // The application sends a break to reset the device, which notices it.
    EXPECT_EQ(SioBrkSig(app, SIO_BREAK_ASSERT), 1);
    EXPECT_EQ(SioBrkSig(app, SIO_BREAK_CANCEL), 1);
    EXPECT_EQ(SioBrkSig(app, SIO_BREAK_DETECT), 0);
    EXPECT_EQ(SioStatus(dev, SIO_CE_BREAK), SIO_CE_BREAK);

    // The device babbles after the break; the application throws it away.
    EXPECT_EQ(SioPuts(dev, "\x00\x01garbage", 9), 9);
    EXPECT_EQ(SioRxClear(app), 0);
    EXPECT_EQ(SioRxQue(app), 0);

    // The device drops RTS while busy: the application's next write waits
    // until it is raised again, and nothing is lost.
    EXPECT_EQ(SioRTS(dev, SIO_LINE_CLEAR), 1);
    {
        AsyncCall w([&] { return SioPuts(app, "data", 4); }, [&] { sim.PurgeComm(PortTable[app].handle, PURGE_TXABORT); });
        ASSERT_TRUE(sim.waitForHeldWrite(app, 10s));
        EXPECT_FALSE(w.done());
        EXPECT_EQ(SioTxQue(app), 4);
        EXPECT_EQ(SioRTS(dev, SIO_LINE_SET), 1);
        ASSERT_TRUE(w.waitDone());
        EXPECT_EQ(w.result(), 4);
    }
    n = SioGets(dev, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "data");

    // A pending output is discarded before closing.
    EXPECT_EQ(SioTxClear(app), 0);

    // Opening a port with nothing behind it fails with a reason.
    EXPECT_EQ(SioReset(5, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_NE(SioWinError(), 0);

    // Close both ends; the devices get their own time-outs back and are free.
    EXPECT_EQ(SioDone(app), 1);
    EXPECT_EQ(SioDone(dev), 1);
    EXPECT_FALSE(sim.snapshot(app).open);
    EXPECT_FALSE(sim.snapshot(dev).open);
    EXPECT_EQ(sim.snapshot(app).timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(SioGetc(app), SIO_NOT_OPEN);
}

}  // namespace
}  // namespace velk
