// The POSIX backend on real ttys: ports mapped with velk_map_port to the
// slave end of a pty (the test drives the master as the far end of the line)
// or to the two ends of a socat-bridged pty pair, driven through the public
// functions with the library's own device. Covers the exclusive open, raw
// data, queue counts, the line state as the kernel holds it, errno values
// behind SIO_WIN_ERROR, the missing modem lines of a pty, hang-up, time-outs
// and descriptor hygiene.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <string>
#include <thread>

#include "device/device_api.h"
#include "port/port_table.h"
#include "support/call_count.h"
#include "support/posix_pty_fixture.h"
#include "support/tty_gaps.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

// True when every descriptor this process holds on the pty's slave end, other
// than the test's own, is non-blocking (and there is at least one).
bool othersNonBlocking(const Pty& pty) {
    int seen = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fd == pty.slave || fd == pty.master) continue;
        char link[64], target[256];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (pty.path != target) continue;
        ++seen;
        if (!(fcntl(fd, F_GETFL) & O_NONBLOCK)) return false;
    }
    return seen > 0;
}

// ---- Open, close, exclusivity ----------------------------------------------

TEST_F(PosixPty, OpensExclusivelyAndReleasesOnClose) {
    openPty(0);
    // A second open of the same device through another port fails as a held
    // COM port does.
    ASSERT_EQ(velk_map_port(1, pty.path.c_str()), 0);
    EXPECT_EQ(SioReset(1, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EBUSY);
    EXPECT_EQ(SioDone(1), SIO_NOT_OPEN);

    // And so does another process (the flock holds against root too).
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int rc = SioReset(1, 1024, 1024);
        _exit(rc == SIO_WIN_ERROR && SioWinError() == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(SioDone(0), 1);
    // Released: the other port and another process get it now.
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int rc = SioReset(1, 1024, 1024);
        _exit(rc == 0 && SioDone(1) == 1 ? 0 : 1);
    }
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(SioReset(1, 1024, 1024), 0);
    EXPECT_EQ(SioDone(1), 1);
}

TEST_F(PosixPty, OpenPutsTheTtyInRawMode) {
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);  // a fresh pty is cooked
    openPty(0);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
}

// ---- Data ------------------------------------------------------------------

TEST_F(PosixPty, RawBytesPassBothWaysUnchanged) {
    openPty(0);
    const std::string all = allByteValues();
    EXPECT_EQ(SioPuts(0, all.data(), static_cast<int>(all.size())), 256);
    EXPECT_EQ(pty.receive(256), all);

    ASSERT_TRUE(pty.send(all));
    EXPECT_EQ(drain(0, 256), all);

    EXPECT_EQ(SioPutc(0, 0x00), 0);
    EXPECT_EQ(SioPutc(0, 0x1FF), 0);
    EXPECT_EQ(pty.receive(2), std::string("\x00\xff", 2));

    ASSERT_TRUE(pty.send(std::string("\x00\xff\r", 3)));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 3; }));
    EXPECT_EQ(SioGetc(0), 0x00);
    EXPECT_EQ(SioGetc(0), 0xFF);
    EXPECT_EQ(SioGetc(0), '\r');
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
}

TEST_F(PosixPty, SixtyFourKibibytesArriveIntactBothWays) {
    openPty(0);
    const std::string out = pattern(64 * 1024);
    // The far end reads while the library's write waits for the driver to
    // take every byte.
    std::string farEnd;
    std::thread reader([&] { farEnd = pty.receive(out.size(), 30s); });
    EXPECT_EQ(SioPuts(0, out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
    reader.join();
    EXPECT_TRUE(farEnd == out) << "received " << farEnd.size() << " bytes, content differs";
    // The write waited for room in a blocking write(); the port's descriptor
    // is non-blocking again afterwards, so reads still never wait.
    EXPECT_TRUE(othersNonBlocking(pty)) << "a descriptor of the port was left blocking";

    const std::string in = pattern(64 * 1024 + 7).substr(7);
    bool sent = false;
    std::thread writer([&] { sent = pty.send(in); });
    std::string got = drain(0, in.size(), 30s);
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(got == in) << "received " << got.size() << " bytes, content differs";
}

TEST_F(PosixPty, ReadsNeverWaitAndQueuesAreCounted) {
    openPty(0);
    char buf[8];
    const call_count::Since calls;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(SioGetc(0), SIO_NO_DATA);
        ASSERT_EQ(SioGets(0, buf, sizeof buf), 0);
    }
    // No read waited: not one poll, one read() of the kernel's queue each.
    EXPECT_EQ(calls(call_count::Call::Poll), 0);
    EXPECT_LE(calls(call_count::Call::Read), 200);
    EXPECT_EQ(SioRxQue(0), 0);

    ASSERT_TRUE(pty.send("0123456789"));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 10; }));
    EXPECT_EQ(SioGets(0, buf, 4), 4);
    EXPECT_EQ(SioRxQue(0), 6);
    EXPECT_EQ(SioUnGetc(0, 'x'), 0);
    EXPECT_EQ(SioRxQue(0), 6);  // the pushed-back byte is not the device's
    EXPECT_EQ(SioGetc(0), 'x');
    EXPECT_EQ(SioRxClear(0), 0);
    EXPECT_EQ(SioRxQue(0), 0);
    // A pty hands written bytes straight to the master: nothing waits.
    EXPECT_EQ(SioTxQue(0), 0);
    EXPECT_EQ(SioTxClear(0), 0);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    if (!call_count::kCounting) GTEST_SKIP() << call_count::kNotCounting;
}

// ---- Line state --------------------------------------------------------------


TEST_F(PosixPty, FormatAndFlowControlMapOntoTermios) {
    openPty(0);
    termios t{};
    // A pty's driver keeps 8 data bits and no parity whatever it is asked
    // (the mapping itself is checked bit by bit in line_state_test);
    // the stop and parity-kind bits it keeps show what went down. Where the
    // system's termios drops CMSPAR, the rest is checked, then the test is
    // reported skipped.
    const char* cmsparGap = velk_gap_cmspar(pty.slave);
    const tcflag_t cmspar = cmsparGap ? 0 : CMSPAR;
    const tcflag_t seen = CSIZE | PARENB | PARODD | CSTOPB | cmspar;
    EXPECT_EQ(SioParms(0, SIO_ODD_PARITY, SIO_TWO_STOP_BITS, 6), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_cflag & seen, static_cast<tcflag_t>(CS8 | PARODD | CSTOPB));

    EXPECT_EQ(SioParms(0, SIO_MARK_PARITY, SIO_ONE_STOP_BIT, 8), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_cflag & seen, static_cast<tcflag_t>(CS8 | PARODD | cmspar));

    EXPECT_EQ(SioParms(0, SIO_SPACE_PARITY, SIO_ONE5_STOP_BITS, 5), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_cflag & seen, static_cast<tcflag_t>(CS8 | cmspar | CSTOPB));
    // GetCommState reports what the driver holds, not what was asked.
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_EQ(platformDevice().GetCommState(PortTable[0].handle, &d), 1);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);

    // Values termios cannot express change nothing: 1.5 stop bits with 8
    // data bits, 2 with 5, 9 data bits, an unknown parity.
    const tcflag_t held = t.c_cflag;
    EXPECT_EQ(SioParms(0, SIO_NO_PARITY, SIO_ONE5_STOP_BITS, 8), 0);
    EXPECT_EQ(SioParms(0, SIO_NO_PARITY, SIO_TWO_STOP_BITS, 5), 0);
    EXPECT_EQ(SioParms(0, SIO_NO_PARITY, SIO_ONE_STOP_BIT, 9), 0);
    EXPECT_EQ(SioParms(0, 7, SIO_ONE_STOP_BIT, 8), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_cflag, held);
    // The rejected record stays in the port's DCB, so the baud call offers
    // it again and fails too.
    EXPECT_EQ(SioBaud(0, SIO_BAUD9600), 0);
    EXPECT_EQ(platformDevice().SetCommState(PortTable[0].handle, PortTable[0].dcb), 0);
    EXPECT_EQ(platformDevice().GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_EQ(SioParms(0, SIO_NO_PARITY, SIO_ONE_STOP_BIT, 8), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_cflag & seen, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    EXPECT_EQ(SioFlow(0, 'H'), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(SioFlow(0, 'S'), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    // Data still flows after all that.
    EXPECT_EQ(SioPuts(0, "ok", 2), 2);
    EXPECT_EQ(pty.receive(2), "ok");
    VELK_SKIP_IF_GAP(cmsparGap);
}

// ---- Errors ------------------------------------------------------------------

TEST_F(PosixPty, FailedOpensGiveTheirErrno) {
    struct Case {
        const char* path;
        int err;
    } cases[] = {
        {"/nonexistent/velk-port", ENOENT},
        {"/dev/null", ENOTTY},
        {"/", EISDIR},
        {"", ENOENT},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(velk_map_port(3, c.path), 0);
        EXPECT_EQ(SioReset(3, 1024, 1024), SIO_WIN_ERROR) << c.path;
        EXPECT_EQ(SioWinError(), c.err) << c.path;
        EXPECT_EQ(SioDone(3), SIO_NOT_OPEN) << c.path;
    }
    const std::string longPath(5000, 'x');
    ASSERT_EQ(velk_map_port(3, longPath.c_str()), 0);
    EXPECT_EQ(SioReset(3, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), ENAMETOOLONG);

    // A device held by someone else's flock.
    int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(velk_map_port(3, pty.path.c_str()), 0);
    EXPECT_EQ(SioReset(3, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EBUSY);
    close(other);
    EXPECT_EQ(SioReset(3, 1024, 1024), 0);
}

TEST_F(PosixPty, ModemLineCallsFailOnAPtyAndNothingElseBreaks) {
    openPty(0);
    // A pty has no modem lines: the queries read as 0 and the line calls
    // report failure, with ENOTTY behind them.
    EXPECT_EQ(SioCTS(0), 0);
    EXPECT_EQ(SioDSR(0), 0);
    EXPECT_EQ(SioRI(0), 0);
    EXPECT_EQ(SioDCD(0), 0);
    EXPECT_EQ(SioDTR(0, 'C'), 0);
    EXPECT_EQ(SioRTS(0, 'S'), 0);
    EXPECT_EQ(SioDTR(0, 'R'), 0);  // what was asked is still recorded
    EXPECT_EQ(SioRTS(0, 'R'), 2);
    DWORD ms = 0xABCD;
    EXPECT_EQ(platformDevice().GetCommModemStatus(PortTable[0].handle, &ms), 0);
    EXPECT_EQ(platformDevice().GetLastError(), static_cast<DWORD>(ENOTTY));
    EXPECT_EQ(ms, 0xABCDu);  // left as it was
    // No error counters either: the status query still succeeds.
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    // Flow control changes the RTS mode, which a pty cannot carry out; the
    // line state is applied all the same.
    EXPECT_EQ(SioFlow(0, 'S'), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(SioFlow(0, 'N'), 0);
    EXPECT_EQ(SioPuts(0, "still", 5), 5);
    EXPECT_EQ(pty.receive(5), "still");
    ASSERT_TRUE(pty.send("here"));
    EXPECT_EQ(drain(0, 4), "here");
    // Break needs no modem line, only the requests.
    VELK_SKIP_IF_GAP(velk_gap_break(pty.slave));
    EXPECT_EQ(SioBrkSig(0, 'A'), 1);
    EXPECT_EQ(SioBrkSig(0, 'C'), 1);
    EXPECT_EQ(SioBrkSig(0, 'D'), 0);
    EXPECT_EQ(SioDone(0), 1);
}

TEST_F(PosixPty, HangUpIsReportedAndTheCloseStillWorks) {
    openPty(0);
    ASSERT_TRUE(pty.send("abc"));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 3; }));
    pty.closeMaster();
    // What arrived before the hang-up comes first, in order, then the failure.
    EXPECT_EQ(SioRxQue(0), 3);
    EXPECT_EQ(SioGetc(0), 'a');
    char two[4] = {};
    EXPECT_EQ(SioGets(0, two, sizeof two), 2);
    EXPECT_EQ(std::string(two, 2), "bc");
    EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    SioDebug(0);
    EXPECT_EQ(SioPutc(0, 'x'), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    char buf[4];
    EXPECT_EQ(SioGets(0, buf, sizeof buf), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    EXPECT_EQ(SioRxQue(0), 0);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    const int fds = openFdCount();
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(openFdCount(), fds - 1);
    EXPECT_EQ(SioDone(0), SIO_NOT_OPEN);
}

TEST_F(PosixPty, NoDescriptorLeftAfterTenThousandOpens) {
    ASSERT_EQ(velk_map_port(0, pty.path.c_str()), 0);
    ASSERT_EQ(velk_map_port(1, pty.path.c_str()), 0);
    ASSERT_EQ(velk_map_port(2, "/dev/null"), 0);
    const int before = openFdCount();
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(SioReset(0, 1024, 1024), 0) << "cycle " << i << " errno " << SioWinError();
        if (i % 1000 == 0) {
            // The failing opens must close what they opened.
            ASSERT_EQ(SioReset(1, 1024, 1024), SIO_WIN_ERROR);
            ASSERT_EQ(SioReset(2, 1024, 1024), SIO_WIN_ERROR);
            ASSERT_EQ(SioReset(0, 1024, 1024), 0);  // reopening an open port
        }
        ASSERT_EQ(SioDone(0), 1) << "cycle " << i;
    }
    EXPECT_EQ(openFdCount(), before);
}

// ---- Time-outs, through the device itself ----------------------------------

TEST_F(PosixPty, ReadAndWriteTimeOutsAreHonoured) {
    DeviceApi& dev = platformDevice();
    ASSERT_EQ(velk_map_port(0, pty.path.c_str()), 0);
    DevHandle h = dev.CreateFileA("COM1");
    ASSERT_NE(h, kNoDevice);
    unsigned char buf[64];
    DWORD n = 99;

    // Total time-out: waits, then returns what came (nothing).
    COMMTIMEOUTS t = {0, 0, 80, 0, 0};
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dev.ReadFile(h, buf, sizeof buf, &n), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 75ms);

    // MAXDWORD/MAXDWORD/constant: returns as soon as a byte has come.
    t = {MAXDWORD, MAXDWORD, 10000, 0, 0};
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);
    std::thread late([&] {
        std::this_thread::sleep_for(30ms);
        pty.send("Q");
    });
    EXPECT_EQ(dev.ReadFile(h, buf, sizeof buf, &n), 1);
    late.join();
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 'Q');

    // No read time-outs: waits for every byte asked for.
    t = {0, 0, 0, 0, 0};
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);
    std::thread feeder([&] {
        for (char c : std::string("12345")) {
            std::this_thread::sleep_for(5ms);
            pty.send(std::string(1, c));
        }
    });
    EXPECT_EQ(dev.ReadFile(h, buf, 5, &n), 1);
    feeder.join();
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "12345");

    // An interval time-out ends the read at the first gap after a byte.
    t = {30, 0, 0, 0, 0};
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);
    ASSERT_TRUE(pty.send("ab"));
    EXPECT_EQ(dev.ReadFile(h, buf, sizeof buf, &n), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "ab");

    // A write time-out ends a write the far end does not take, reporting
    // what the driver took.
    t = {MAXDWORD, 0, 0, 0, 150};
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);
    const std::string big = pattern(1 << 20);
    EXPECT_EQ(dev.WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n), 1);
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, big.size());
    EXPECT_EQ(pty.receive(n), big.substr(0, n));
    EXPECT_EQ(dev.CloseHandle(h), 1);
    EXPECT_EQ(dev.CloseHandle(h), 0);
    EXPECT_EQ(dev.GetLastError(), static_cast<DWORD>(EBADF));
}

// A wait sleeps in poll() until its time-out, however long the machine
// takes to get there: a few polls and reads, where a spinning wait would make
// one per pass, thousands in 300 ms.
TEST_F(PosixPty, WaitingReadsAndWritesSleepRatherThanSpin) {
    if (!call_count::kCounting) GTEST_SKIP() << call_count::kNotCounting;
    DeviceApi& dev = platformDevice();
    ASSERT_EQ(velk_map_port(0, pty.path.c_str()), 0);
    DevHandle h = dev.CreateFileA("COM1");
    ASSERT_NE(h, kNoDevice);
    unsigned char buf[16];
    DWORD n = 0;
    COMMTIMEOUTS t = {0, 0, 300, 0, 300};
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);

    auto wall = std::chrono::steady_clock::now();
    const call_count::Since reading;
    EXPECT_EQ(dev.ReadFile(h, buf, sizeof buf, &n), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - wall, 290ms);
    EXPECT_LE(reading(call_count::Call::Poll), 3);
    EXPECT_LE(reading(call_count::Call::Read), 4);

    // The far end takes nothing: the write fills the line, then waits.
    const std::string big(1 << 20, 'w');
    wall = std::chrono::steady_clock::now();
    const call_count::Since writing;
    EXPECT_EQ(dev.WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n), 1);
    EXPECT_LT(n, big.size());
    EXPECT_GE(std::chrono::steady_clock::now() - wall, 290ms);
    EXPECT_LE(writing(call_count::Call::Poll), 10);
    EXPECT_LE(writing(call_count::Call::Write), 20);
    EXPECT_EQ(dev.CloseHandle(h), 1);
}

TEST_F(PosixPty, AWaitingReadEndsWhenThePeerHangsUp) {
    DeviceApi& dev = platformDevice();
    ASSERT_EQ(velk_map_port(0, pty.path.c_str()), 0);
    DevHandle h = dev.CreateFileA("COM1");
    ASSERT_NE(h, kNoDevice);
    COMMTIMEOUTS t = {0, 0, 0, 0, 0};  // wait for every byte, without limit
    ASSERT_EQ(dev.SetCommTimeouts(h, &t), 1);
    std::thread hangUp([&] {
        std::this_thread::sleep_for(30ms);
        pty.closeMaster();
    });
    unsigned char buf[8];
    DWORD n = 99;
    EXPECT_EQ(dev.ReadFile(h, buf, sizeof buf, &n), 0);
    hangUp.join();
    EXPECT_EQ(dev.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(dev.WriteFile(h, "x", 1, &n), 0);
    EXPECT_EQ(dev.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(dev.CloseHandle(h), 1);
}

TEST_F(PosixPty, StaleAndForeignHandlesAreRefused) {
    DeviceApi& dev = platformDevice();
    ASSERT_EQ(velk_map_port(0, pty.path.c_str()), 0);
    ASSERT_EQ(velk_map_port(1, "loop://"), 0);
    DevHandle a = dev.CreateFileA("COM1");
    ASSERT_NE(a, kNoDevice);
    ASSERT_EQ(dev.CloseHandle(a), 1);
    DevHandle b = dev.CreateFileA("COM1");
    ASSERT_NE(b, kNoDevice);
    EXPECT_NE(a, b);  // same slot, new handle: the old one is dead
    DWORD errors = 0;
    COMSTAT st{};
    EXPECT_EQ(dev.ClearCommError(a, &errors, &st), 0);
    EXPECT_EQ(dev.GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_EQ(dev.ClearCommError(kNoDevice, &errors, &st), 0);
    EXPECT_EQ(dev.CreateFileA("COM0"), kNoDevice);
    EXPECT_EQ(dev.GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_EQ(dev.EscapeCommFunction(b, 99), 0);
    EXPECT_EQ(dev.GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_EQ(dev.EscapeCommFunction(b, RESETDEV), 1);
    EXPECT_EQ(dev.SetupComm(b, 4096, 4096), 1);
    EXPECT_EQ(dev.SetCommMask(b, EV_RXCHAR), 1);
    EXPECT_EQ(dev.CloseHandle(b), 1);
}

// A pty port and a loop:// port open side by side: each operation reaches
// the device that issued the handle.
TEST_F(PosixPty, PtyAndLoopPortsWorkSideBySide) {
    openPty(0);
    ASSERT_EQ(velk_map_port(1, "loop://"), 0);
    ASSERT_EQ(SioReset(1, 1024, 1024), 0);
    EXPECT_EQ(SioPuts(1, "loop", 4), 4);
    EXPECT_EQ(SioPuts(0, "pty", 3), 3);
    EXPECT_EQ(pty.receive(3), "pty");
    EXPECT_EQ(pty.receive(1, 50ms), "");  // nothing of the loop's came here
    EXPECT_EQ(SioRxQue(1), 4);
    EXPECT_EQ(SioRxQue(0), 0);
    EXPECT_EQ(SioCTS(1), SIO_MS_CTS_ON);
    EXPECT_EQ(SioCTS(0), 0);
    EXPECT_EQ(drain(1, 4), "loop");
    EXPECT_EQ(SioDone(1), 1);
    EXPECT_EQ(SioDone(0), 1);
}

// ---- Two library ports over a socat-bridged pair ---------------------------

class PosixSocat : public PosixLibraryTest {
protected:
    void SetUp() override {
        PosixLibraryTest::SetUp();
        ASSERT_TRUE(pair.ok()) << pair.error;
        ASSERT_EQ(velk_map_port(0, pair.a.c_str()), 0);
        ASSERT_EQ(velk_map_port(1, pair.b.c_str()), 0);
        ASSERT_EQ(SioReset(0, 4096, 4096), 0) << SioWinError();
        ASSERT_EQ(SioReset(1, 4096, 4096), 0) << SioWinError();
    }
    SocatPair pair;
};

TEST_F(PosixSocat, TwoPortsTalkBothWays) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(SioPuts(0, all.data(), 256), 256);
    std::string got;
    char buf[512];
    ASSERT_TRUE(waitUntil([&] {
        int r = SioGets(1, buf, sizeof buf);
        if (r > 0) got.append(buf, static_cast<std::size_t>(r));
        return got.size() >= 256;
    }));
    EXPECT_EQ(got, all);

    EXPECT_EQ(SioPutc(1, 0xFF), 0);
    EXPECT_EQ(SioPutc(1, 0x00), 0);
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 2; }));
    EXPECT_EQ(SioGetc(0), 0xFF);
    EXPECT_EQ(SioGetc(0), 0x00);
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);
}

TEST_F(PosixSocat, SixtyFourKibibytesBetweenTwoPorts) {
    // One thread drives both ports, as the library asks: each chunk is sent,
    // then collected at the other end before the next.
    std::string out(64 * 1024, '\0');
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    std::string got;
    char buf[2048];
    for (std::size_t off = 0; off < out.size(); off += 1024) {
        ASSERT_EQ(SioPuts(0, out.data() + off, 1024), 1024);
        ASSERT_TRUE(waitUntil([&] {
            int r = SioGets(1, buf, sizeof buf);
            if (r > 0) got.append(buf, static_cast<std::size_t>(r));
            return got.size() >= off + 1024 || r < 0;
        })) << "stalled at " << got.size();
    }
    EXPECT_EQ(got.size(), out.size());
    EXPECT_TRUE(got == out);
}

TEST_F(PosixSocat, PeerHangUpSurfacesOnBothPorts) {
    pair.stop();
    EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    EXPECT_EQ(SioGetc(1), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(SioDone(1), 1);
}

}  // namespace
}  // namespace velk
