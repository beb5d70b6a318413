// The simulated device on its own, where its behaviour is not obvious:
// exclusive open and stale handles, the receive-queue limit, the release of a
// writer held by hardware or software flow control, XON/XOFF taken out of the
// data, framing and parity errors between ends that do not share a format,
// the line states a driver refuses, and DTR/RTS following the control modes.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "device/testing/sim_device.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

class Sim : public ::testing::Test {
protected:
    DevHandle openPort(const char* name) {
        DevHandle h = sim.CreateFileA(name);
        EXPECT_NE(h, kNoDevice) << name;
        return h;
    }
    DCB state(DevHandle h) {
        DCB d{};
        d.DCBlength = sizeof d;
        EXPECT_EQ(sim.GetCommState(h, &d), 1);
        return d;
    }
    // a sends under CTS flow control while b keeps its RTS (a's CTS) low, so
    // every write from a is held.
    void holdOffByCts(DevHandle a, DevHandle b) {
        DCB d = state(a);
        d.fOutxCtsFlow = 1;
        ASSERT_EQ(sim.SetCommState(a, &d), 1);
        ASSERT_EQ(sim.EscapeCommFunction(b, CLRRTS), 1);
    }
    std::string readAll(DevHandle h) {
        char buf[256];
        DWORD got = 0;
        EXPECT_EQ(sim.ReadFile(h, buf, sizeof buf, &got), 1);
        return std::string(buf, got);
    }
    DWORD errors(DevHandle h) {
        DWORD e = 0;
        EXPECT_EQ(sim.ClearCommError(h, &e, nullptr), 1);
        return e;
    }
    SimDevice sim;
};

TEST_F(Sim, OpenIsExclusiveAndNamesAreExact) {
    sim.setLoopback(0);
    DevHandle h = openPort("COM1");
    EXPECT_EQ(sim.CreateFileA("COM1"), kNoDevice);
    EXPECT_EQ(sim.GetLastError(), kErrAccessDenied);
    for (const char* bad : {"COM0", "COM10", "com1", "LPT1", "\\\\.\\COM1", "COM2", ""}) {
        EXPECT_EQ(sim.CreateFileA(bad), kNoDevice) << bad;
        EXPECT_EQ(sim.GetLastError(), kErrFileNotFound) << bad;
    }
    EXPECT_EQ(sim.CreateFileA(nullptr), kNoDevice);
    EXPECT_EQ(sim.CloseHandle(h), 1);
    DevHandle again = openPort("COM1");
    EXPECT_NE(again, h) << "a new opening gets a new handle";
    // The old handle is dead for every operation, including a second close.
    DWORD status = 0xABCD;
    EXPECT_EQ(sim.GetCommModemStatus(h, &status), 0);
    EXPECT_EQ(sim.GetLastError(), kErrInvalidHandle);
    EXPECT_EQ(status, 0xABCDu) << "a failed query leaves the word as it was";
    EXPECT_EQ(sim.CloseHandle(h), 0);
    EXPECT_TRUE(sim.snapshot(0).open);
    EXPECT_EQ(sim.snapshot(0).openCount, 2);
}

TEST_F(Sim, APortOutsideTheNineStopsTheTest) {
    EXPECT_DEATH(sim.setLoopback(9), "port 9 is not 0 to 8");
    EXPECT_DEATH(sim.snapshot(-1), "port -1 is not 0 to 8");
}

TEST_F(Sim, ReceiveQueueLimitLosesTheRestAndRaisesRxOver) {
    sim.setUnplugged(2);
    DevHandle h = openPort("COM3");
    EXPECT_EQ(sim.SetupComm(h, 4, 4), 1);
    sim.injectReceived(2, "abcdef", 6);
    DWORD e = 0;
    COMSTAT st{};
    EXPECT_EQ(sim.ClearCommError(h, &e, &st), 1);
    EXPECT_EQ(e, CE_RXOVER);
    EXPECT_EQ(st.cbInQue, 4u);
    EXPECT_EQ(errors(h), 0u) << "the query cleared the flag";
    EXPECT_EQ(readAll(h), "abcd");
    // A size of 0 keeps what the driver had.
    EXPECT_EQ(sim.SetupComm(h, 0, 0), 1);
    EXPECT_EQ(sim.snapshot(2).queueSize, 4u);
}

// Two ends of a null-modem pair with hardware flow control; the receiver's
// queue is 16 bytes and it holds the sender off once fewer than 4 are free,
// releasing it when no more than 4 wait.
TEST_F(Sim, HardwareFlowControlHoldsAndReleasesTheWriter) {
    sim.connectNullModem(0, 1);
    DevHandle tx = openPort("COM1");
    DevHandle rx = openPort("COM2");
    for (DevHandle h : {tx, rx}) {
        DCB d = state(h);
        d.fOutxCtsFlow = 1;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        d.XonLim = 4;
        d.XoffLim = 4;
        ASSERT_EQ(sim.SetCommState(h, &d), 1);
    }
    ASSERT_EQ(sim.SetupComm(rx, 16, 16), 1);
    std::string data;
    for (int i = 0; i < 40; ++i) data += static_cast<char>('A' + i % 26);
    DWORD written = 0;
    BOOL ok = 0;
    std::thread writer([&] { ok = sim.WriteFile(tx, data.data(), 40, &written); });
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_EQ(sim.snapshot(1).rxCount, 13u) << "held once 3 bytes were free";
    EXPECT_FALSE(sim.snapshot(1).rts);
    EXPECT_EQ(sim.snapshot(0).modemStatus & MS_CTS_ON, 0u);

    char buf[16];
    DWORD got = 0;
    ASSERT_EQ(sim.ReadFile(rx, buf, 8, &got), 1);
    EXPECT_EQ(sim.snapshot(1).rxCount, 5u);
    EXPECT_FALSE(sim.snapshot(1).rts) << "5 still waiting: not yet released";

    std::string received(buf, got);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (received.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(sim.ReadFile(rx, buf, 1, &got), 1);
        received.append(buf, got);
        if (got == 0) std::this_thread::yield();
    }
    writer.join();
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(written, 40u);
    EXPECT_EQ(received, data);
    EXPECT_EQ(errors(rx), 0u) << "nothing overflowed";
}

TEST_F(Sim, XonXoffAreTakenOutOfTheDataOnlyUnderSoftwareFlowControl) {
    sim.connectNullModem(0, 1);
    DevHandle a = openPort("COM1");
    DevHandle b = openPort("COM2");
    DWORD n = 0;
    // No software flow control at COM1: XOFF and XON are plain data.
    ASSERT_EQ(sim.WriteFile(b, "\x13x\x11", 3, &n), 1);
    EXPECT_EQ(readAll(a), "\x13x\x11");

    DCB d = state(a);
    d.fOutX = 1;
    ASSERT_EQ(sim.SetCommState(a, &d), 1);
    ASSERT_EQ(sim.WriteFile(b, "\x13y", 2, &n), 1);
    EXPECT_EQ(readAll(a), "y");
    COMSTAT st{};
    ASSERT_EQ(sim.ClearCommError(a, nullptr, &st), 1);
    EXPECT_EQ(st.fXoffHold, 1u);

    BOOL ok = 0;
    std::thread writer([&] { ok = sim.WriteFile(a, "held", 4, &n); });
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_EQ(sim.snapshot(0).txPending, 4u);
    DWORD m = 0;
    ASSERT_EQ(sim.WriteFile(b, "\x11", 1, &m), 1);  // XON releases it
    writer.join();
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(readAll(b), "held");
    EXPECT_EQ(readAll(a), "") << "XON was not queued";
}

TEST_F(Sim, CloseAndPurgeAbortAHeldWrite) {
    sim.connectNullModem(0, 1);
    DevHandle a = openPort("COM1");
    DevHandle b = openPort("COM2");
    ASSERT_NO_FATAL_FAILURE(holdOffByCts(a, b));
    DWORD n = 99;
    BOOL ok = 1;
    DWORD err = 0;
    std::thread writer([&] {
        ok = sim.WriteFile(a, "abc", 3, &n);
        err = sim.GetLastError();  // per thread
    });
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_EQ(sim.PurgeComm(a, PURGE_RXCLEAR), 1);
    EXPECT_EQ(sim.snapshot(0).txPending, 3u) << "a receive purge leaves the write alone";
    EXPECT_EQ(sim.PurgeComm(a, PURGE_TXABORT), 1);
    writer.join();
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(err, kErrOperationAborted);
    EXPECT_EQ(sim.snapshot(0).txPending, 0u);

    std::thread writer2([&] { ok = sim.WriteFile(a, "xyz", 3, &n); });
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    EXPECT_EQ(sim.CloseHandle(a), 1);
    writer2.join();
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(readAll(b), "");
}

TEST_F(Sim, DeviceRemovedWhileOpenFailsEverythingButClose) {
    sim.connectNullModem(0, 1);
    DevHandle a = openPort("COM1");
    DevHandle b = openPort("COM2");
    ASSERT_NO_FATAL_FAILURE(holdOffByCts(a, b));
    DWORD n = 0;
    BOOL ok = 1;
    std::thread writer([&] { ok = sim.WriteFile(a, "abc", 3, &n); });
    ASSERT_TRUE(sim.waitForHeldWrite(0, 10s));
    sim.setAbsent(0);
    writer.join();
    EXPECT_EQ(ok, 0) << "the write in progress ended";

    DWORD e = 0, status = 0x1234;
    EXPECT_EQ(sim.ClearCommError(a, &e, nullptr), 0);
    EXPECT_EQ(sim.GetLastError(), kErrGenFailure);
    EXPECT_EQ(sim.GetCommModemStatus(a, &status), 0);
    EXPECT_EQ(status, 0x1234u);
    char buf[4];
    EXPECT_EQ(sim.ReadFile(a, buf, 4, &n), 0);
    EXPECT_EQ(sim.WriteFile(a, "x", 1, &n), 0);
    EXPECT_EQ(sim.GetLastError(), kErrGenFailure);
    EXPECT_EQ(sim.snapshot(1).modemStatus, 0u) << "the other end sees the lines drop";
    EXPECT_EQ(sim.CloseHandle(a), 1);
    EXPECT_EQ(sim.CreateFileA("COM1"), kNoDevice);
    EXPECT_EQ(sim.GetLastError(), kErrFileNotFound);
}

TEST_F(Sim, DifferentFormatsGiveFramingAndParityErrors) {
    sim.connectNullModem(0, 1);
    DevHandle a = openPort("COM1");
    DevHandle b = openPort("COM2");
    DWORD n = 0;
    ASSERT_EQ(sim.WriteFile(a, "\xFF", 1, &n), 1);
    EXPECT_EQ(errors(b), 0u);
    EXPECT_EQ(readAll(b), "\xFF");

    // 7 data bits at both ends: the top bit never travels.
    for (DevHandle h : {a, b}) {
        DCB d = state(h);
        d.ByteSize = 7;
        ASSERT_EQ(sim.SetCommState(h, &d), 1);
    }
    ASSERT_EQ(sim.WriteFile(a, "\xFF", 1, &n), 1);
    EXPECT_EQ(errors(b), 0u);
    EXPECT_EQ(readAll(b), "\x7F");

    // The receiver expects even parity but does not check it: framing only.
    DCB d = state(b);
    d.Parity = EVENPARITY;
    ASSERT_EQ(sim.SetCommState(b, &d), 1);
    ASSERT_EQ(sim.WriteFile(a, "q", 1, &n), 1);
    EXPECT_EQ(errors(b), CE_FRAME);
    // Checking parity adds the parity error.
    d.fParity = 1;
    ASSERT_EQ(sim.SetCommState(b, &d), 1);
    ASSERT_EQ(sim.WriteFile(a, "q", 1, &n), 1);
    EXPECT_EQ(errors(b), CE_FRAME | CE_RXPARITY);
    // A different rate alone.
    d = state(a);
    d.Parity = EVENPARITY;
    d.BaudRate = state(b).BaudRate / 2;
    ASSERT_EQ(sim.SetCommState(a, &d), 1);
    ASSERT_EQ(sim.WriteFile(a, "q", 1, &n), 1);
    EXPECT_EQ(errors(b), CE_FRAME | CE_RXPARITY);
    d.BaudRate = state(b).BaudRate;
    ASSERT_EQ(sim.SetCommState(a, &d), 1);
    ASSERT_EQ(sim.WriteFile(a, "q", 1, &n), 1);
    EXPECT_EQ(errors(b), 0u);
}

TEST_F(Sim, RefusesTheLineStatesADriverRefusesAndKeepsTheOldOne) {
    sim.setLoopback(0);
    DevHandle h = openPort("COM1");
    const DCB good = state(h);
    struct Bad {
        const char* what;
        void (*spoil)(DCB&);
    };
    const Bad bad[] = {
        {"baud 0", [](DCB& d) { d.BaudRate = 0; }},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"parity 5", [](DCB& d) { d.Parity = 5; }},
        {"stop code 3", [](DCB& d) { d.StopBits = 3; }},
        {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"2 stop bits with 5 data bits", [](DCB& d) { d.StopBits = TWOSTOPBITS; d.ByteSize = 5; }},
    };
    for (const Bad& b : bad) {
        DCB d = good;
        b.spoil(d);
        EXPECT_EQ(sim.SetCommState(h, &d), 0) << b.what;
        EXPECT_EQ(sim.GetLastError(), kErrInvalidParameter) << b.what;
        DCB now = state(h);
        EXPECT_EQ(std::memcmp(&now, &good, sizeof now), 0) << b.what;
    }
    DCB d = good;
    d.StopBits = ONE5STOPBITS;
    d.ByteSize = 5;
    EXPECT_EQ(sim.SetCommState(h, &d), 1);
    d.BaudRate = 10;
    EXPECT_EQ(sim.SetCommState(h, &d), 1) << "an odd rate is the caller's business";
}

TEST_F(Sim, LinesFollowTheControlModeOnlyWhenItChanges) {
    sim.setLoopback(0);
    DevHandle h = openPort("COM1");  // the driver's defaults: both enabled
    EXPECT_TRUE(sim.snapshot(0).dtr);
    EXPECT_TRUE(sim.snapshot(0).rts);
    ASSERT_EQ(sim.EscapeCommFunction(h, CLRDTR), 1);
    DCB d = state(h);
    ASSERT_EQ(sim.SetCommState(h, &d), 1);
    EXPECT_FALSE(sim.snapshot(0).dtr) << "same mode: the line stays as it was";
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_EQ(sim.SetCommState(h, &d), 1);
    EXPECT_FALSE(sim.snapshot(0).rts);
    d.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_EQ(sim.SetCommState(h, &d), 1);
    EXPECT_TRUE(sim.snapshot(0).dtr);
    EXPECT_FALSE(sim.snapshot(0).rts);
    // Under RTS handshaking the driver owns RTS and refuses to be told.
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_EQ(sim.SetCommState(h, &d), 1);
    EXPECT_TRUE(sim.snapshot(0).rts);
    EXPECT_EQ(sim.EscapeCommFunction(h, CLRRTS), 0);
    EXPECT_EQ(sim.EscapeCommFunction(h, SETRTS), 0);
    EXPECT_EQ(sim.EscapeCommFunction(h, CLRDTR), 1);
    EXPECT_TRUE(sim.snapshot(0).rts);
    // The loop feeds the lines back.
    EXPECT_EQ(sim.snapshot(0).modemStatus, MS_CTS_ON);
}

}  // namespace
}  // namespace velk
