// `velkcom monitor` run as a user runs it: on a terminal (a pty as its
// standard input and output) over the built-in loopback plug, where the keys
// change the output lines and the status line shows the plug's input lines
// follow them; and with its output in a pipe over a pty device, where each
// change is a line and the data is dumped in hex, and an idle port still
// gives a line a second, so that --count ends.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "velkcom_process.h"

namespace {

using namespace velkcom_test;

// The last complete status line the monitor drew on the terminal (the text
// between the last two carriage returns), read from the terminal's master
// end until it satisfies want or ms have passed.
struct Screen {
    explicit Screen(Pty& tty) : tty_(tty) {}

    bool waitFor(const std::function<bool(const std::string&)>& want, int ms) {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            std::size_t last = all.rfind('\r');
            std::size_t before = last == std::string::npos || last == 0 ? std::string::npos : all.rfind('\r', last - 1);
            if (before != std::string::npos) {
                line = all.substr(before + 1, last - before - 1);
                if (want(line)) return true;
            }
            std::string got;
            tty_.readUntil(got, "\r", 50);
            all += got;
        }
        return false;
    }

    std::string all, line;
    Pty& tty_;
};

bool has(const std::string& line, const char* a, const char* b = "") {
    return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
}

TEST(VelkcomMonitor, OnATerminalRTogglesRtsAndCtsFollowsOnTheLoopbackPlug) {
    Pty terminal;
    struct termios before;
    ASSERT_EQ(tcgetattr(terminal.slave, &before), 0);
    Child monitor({"monitor", "--device", "loop://"}, terminal.slave, terminal.slave);
    ASSERT_TRUE(monitor.started());
    Screen screen(terminal);
    // The plug joins RTS to CTS, DTR to DSR and DCD.
    ASSERT_TRUE(screen.waitFor([](const std::string& l) { return has(l, "CTS+ DSR+ RI- DCD+", "DTR+ RTS+"); }, 5000))
        << screen.all << monitor.err;
    ASSERT_EQ(::write(terminal.master, "r", 1), 1);
    EXPECT_TRUE(screen.waitFor([](const std::string& l) { return has(l, "CTS- DSR+", "DTR+ RTS-"); }, 5000))
        << screen.line;
    ASSERT_EQ(::write(terminal.master, "r", 1), 1);
    EXPECT_TRUE(screen.waitFor([](const std::string& l) { return has(l, "CTS+ DSR+", "DTR+ RTS+"); }, 5000))
        << screen.line;
    ASSERT_EQ(::write(terminal.master, "d", 1), 1);
    EXPECT_TRUE(screen.waitFor([](const std::string& l) { return has(l, "CTS+ DSR- RI- DCD-", "DTR- RTS+"); }, 5000))
        << screen.line;
    // A break comes back as one break received.
    ASSERT_EQ(::write(terminal.master, "b", 1), 1);
    EXPECT_TRUE(screen.waitFor([](const std::string& l) { return has(l, "brk 1 "); }, 5000)) << screen.line;
    EXPECT_TRUE(has(screen.line, "ovr 0 par 0 frm 0")) << screen.line;
    ASSERT_EQ(::write(terminal.master, "q", 1), 1);
    EXPECT_EQ(monitor.finish(5000), 0) << monitor.err;
    EXPECT_NE(monitor.err.find("keys: d DTR, r RTS, b break, q quit"), std::string::npos) << monitor.err;
    // The terminal has its settings back.
    struct termios after;
    ASSERT_EQ(tcgetattr(terminal.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST(VelkcomMonitor, InAPipeEachChangeIsALineWithTheDataInHexAndCountStopsIt) {
    Pty device;
    Child monitor({"monitor", "--device", device.name, "--hex", "--count", "3"});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.readUntil("rx 0 B", 5000)) << monitor.out << monitor.err;
    ASSERT_EQ(::write(device.master, "hello", 5), 5);
    ASSERT_TRUE(monitor.readUntil("rx 5 B", 5000)) << monitor.out;
    const std::string more = std::string("\x00\x01\xff", 3) + "0123456789abcdef";
    ASSERT_EQ(::write(device.master, more.data(), more.size()), static_cast<ssize_t>(more.size()));
    EXPECT_EQ(monitor.finish(5000), 0) << monitor.err;
    EXPECT_TRUE(monitor.err.empty()) << monitor.err;
    // Three status lines, each with its time; the dumps between them.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = monitor.out.find(" CTS", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 3u) << monitor.out;
    EXPECT_NE(monitor.out.find("00000000  68 65 6c 6c 6f" + std::string(36, ' ') + "|hello|\n"), std::string::npos)
        << monitor.out;
    EXPECT_NE(monitor.out.find("00000005  00 01 ff 30 31 32 33 34  35 36 37 38 39 61 62 63  |...0123456789abc|\n"
                               "00000015  64 65 66"),
              std::string::npos)
        << monitor.out;
    EXPECT_NE(monitor.out.find("rx 24 B"), std::string::npos) << monitor.out;
}

// Nothing changes on an idle plug, yet a pipe gets a line at least once a
// second: --count 2 ends after about one second, with two lines (bounded
// here at ten times that, for a busy machine).
TEST(VelkcomMonitor, InAPipeAnIdlePortStillGivesALineASecondSoCountEnds) {
    Child monitor({"monitor", "--device", "loop://", "--count", "2"});
    ASSERT_TRUE(monitor.started());
    ASSERT_EQ(monitor.finish(10000), 0) << monitor.out << monitor.err;
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = monitor.out.find(" CTS+ DSR+ RI- DCD+  DTR+ RTS+", at)) != std::string::npos; ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u) << monitor.out;
    // The second line comes by the idle interval, not by a change.
    double second = std::stod(monitor.out.substr(monitor.out.find('\n') + 1));
    EXPECT_GE(second, 0.9) << monitor.out;
    EXPECT_LT(second, 5.0) << monitor.out;
}

// Line changes wake no wait, so the monitor samples them at its refresh
// rate (5 a second) and otherwise sleeps: a silent second costs the system
// calls of five samples (about 10 on loop://), not of fifty polls.
TEST(VelkcomMonitor, ASilentPortCostsOnlyTheRefreshRate) {
    Child monitor({"monitor", "--device", "loop://"});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.readUntil("CTS+", 10000)) << monitor.err;  // its first line: it is running
    const long calls = syscallsDuring(monitor.pid(), 1000);
    if (calls < 0) GTEST_SKIP() << "strace cannot be run or attach here (the strace package)";
    EXPECT_LE(calls, 40) << "system calls in a silent second";
}

}  // namespace
