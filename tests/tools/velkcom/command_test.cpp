// The velkcom program run as a user runs it, on POSIX: the self-test on the
// built-in loopback plug and on a pty whose far end echoes, `velkcom term`
// exchanging data with a pty peer (openpty here, the master end as the peer),
// the command line's answers to help, bad options and ports that do not
// open, and probe in a mount namespace whose /dev/ttyS* are the test's own.
// Every wait is bounded; a child still running at the end is killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/openpty.h"
#include "support/tty_gaps.h"
#include "velkcom_process.h"

namespace {

using namespace velkcom_test;

TEST(VelkcomCommand, SelftestPassesEveryCheckOnTheBuiltInLoopbackPlug) {
    Result r = run({"selftest"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("velkcom selftest on COM1 (loop://)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("22 checks: 22 PASS, 0 FAIL, 0 SKIP"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(VelkcomCommand, SelftestOnAPtySkipsWhatAPtyCannotDoAndPassesTheRest) {
    Pty pty;
    std::atomic<bool> stop{false};
    // The far end of the pty echoes everything back: a loopback plug for
    // data, with no modem lines.
    std::thread echo([&] {
        char buf[4096];
        while (!stop) {
            struct pollfd p = {pty.master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            ssize_t n = read(pty.master, buf, sizeof buf);
            if (n > 0) {
                ssize_t off = 0;
                while (off < n) {
                    ssize_t w = ::write(pty.master, buf + off, static_cast<std::size_t>(n - off));
                    if (w <= 0) break;
                    off += w;
                }
            }
        }
    });
    // Where the system cannot read a literal rate back (qemu-user lacks
    // TCGETS2), the literal-rate row is not judged: the rest is checked,
    // then the test is reported skipped.
    const char* rateGap = velk_gap_rate_record(pty.slave);
    // The echo is a thread of this test: 3 s of slack for a busy machine.
    Result r = run({"selftest", "--device", pty.name, "--port", "2", "--slack", "3000"}, 60000);
    stop = true;
    echo.join();
    if (rateGap != nullptr) {
        const std::size_t literal = r.out.find("\necho at 14400 baud");
        ASSERT_NE(literal, std::string::npos) << r.out;
        r.out.replace(literal + 1 + 28, 4, "----");
    } else {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    EXPECT_NE(r.out.find("velkcom selftest on COM3 (" + std::string(pty.name) + ")"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("FAIL  "), std::string::npos) << r.out;
    for (const char* row : {"RTS -> CTS", "DTR -> DSR, DCD", "break -> CE_BREAK", "status cleared on read",
                            "flow control H"}) {
        std::size_t at = r.out.find(std::string("\n") + row);
        ASSERT_NE(at, std::string::npos) << row;
        EXPECT_EQ(r.out.substr(at + 1 + 28, 4), "SKIP") << r.out;
    }
    for (const char* row : {"echo at 110 baud", "all 256 byte values", "64 KiB block", "flow control S"}) {
        std::size_t at = r.out.find(std::string("\n") + row);
        ASSERT_NE(at, std::string::npos) << row;
        EXPECT_EQ(r.out.substr(at + 1 + 28, 4), "PASS") << r.out;
    }
    VELK_SKIP_IF_GAP(rateGap);
}

// --internal-loopback puts the device given into the UART's loopback before
// anything else: a pty, whose driver has no modem-control bits, is refused
// with status 2 and the driver's answer, and no check runs. With
// --data-only it is a usage error whatever the device.
TEST(VelkcomCommand, InternalLoopbackIsTriedOnTheDeviceGivenAndExcludesDataOnly) {
    Pty pty;
    Result r = run({"selftest", "--device", pty.name, "--internal-loopback"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "velkcom selftest: COM1 (" + std::string(pty.name) +
                         "): --internal-loopback: the driver has no modem-control bits (TIOCMGET: " +
                         std::strerror(ENOTTY) + ")\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
    for (const auto& args : {std::vector<std::string>{"--internal-loopback", "--data-only"},
                             std::vector<std::string>{"--data-only", "--internal-loopback"}}) {
        std::vector<std::string> line = {"selftest", "--device", pty.name};
        line.insert(line.end(), args.begin(), args.end());
        r = run(line);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("--internal-loopback and --data-only exclude each other"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST(VelkcomCommand, TermExchangesDataWithAPtyPeer) {
    Pty pty;
    // The port must be quiet for 3 s before the end: the peer's last bytes,
    // written after the input ends, may come late on a busy machine.
    Child term({"term", "--device", pty.name, "--baud", "115200", "--parms", "8N1", "--drain", "3000"});
    ASSERT_TRUE(term.started());
    // Standard input reaches the peer, every byte value as it is.
    const std::string ask = std::string("hello\r\n\x00\xff", 9);
    term.write(ask);
    std::string atPeer;
    EXPECT_TRUE(pty.readUntil(atPeer, ask, 5000)) << "peer saw: " << atPeer << "\nstderr: " << term.err;
    // The peer's answer reaches standard output.
    const std::string answer = std::string("world\n\x01\x00\xfe", 10);
    ASSERT_EQ(::write(pty.master, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    EXPECT_TRUE(term.readUntil(answer, 5000)) << "stdout: " << term.out;
    // At the end of input, what the peer still sends is passed on before the
    // port is closed.
    term.closeStdin();
    const std::string last = "bye\n";
    ASSERT_EQ(::write(pty.master, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    EXPECT_EQ(term.finish(10000), 0) << term.err;
    EXPECT_EQ(term.out, answer + last);
    EXPECT_EQ(atPeer, ask);
    EXPECT_TRUE(term.err.empty()) << term.err;
    // The port was closed: the slave can be locked again by another open.
    int fd = open(pty.name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
}

TEST(VelkcomCommand, TermPassesALargePipedInputThroughTheLoopbackPlugUnderHardwareFlowControl) {
    // 200 KiB, far more than the port's receive queue: the terminal must
    // keep reading the port while it sends, or flow control would hold its
    // own write forever.
    std::string data(200 * 1024, '\0');
    std::uint32_t x = 12345;
    for (char& c : data) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    char path[] = "/tmp/velkcom-term-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    lseek(fd, 0, SEEK_SET);
    Child term({"term", "--device", "loop://", "--flow", "H", "--drain", "100"}, fd);
    close(fd);
    ASSERT_TRUE(term.started());
    EXPECT_EQ(term.finish(60000), 0) << term.err;
    EXPECT_EQ(term.out.size(), data.size());
    EXPECT_TRUE(term.out == data) << "the data came back changed";
}

// Between events the terminal sleeps on the console and the port together:
// a silent second costs a system call or two, not a few per poll interval.
TEST(VelkcomCommand, TermSleepsWhileThePortAndTheInputAreSilent) {
    Child term({"term", "--device", "loop://", "--drain", "0"});
    ASSERT_TRUE(term.started());
    term.write("ping");
    ASSERT_TRUE(term.readUntil("ping", 10000)) << term.err;  // in its loop: the plug sent it back
    const long calls = syscallsDuring(term.pid(), 1000);
    if (calls < 0) GTEST_SKIP() << "strace cannot be run or attach here (the strace package)";
    EXPECT_LE(calls, 10) << "system calls in a silent second";
    term.write("pong");  // and wakes for what comes
    EXPECT_TRUE(term.readUntil("pingpong", 10000)) << term.out;
    EXPECT_EQ(term.finish(10000), 0) << term.err;
}

TEST(VelkcomCommand, TermOnATerminalSendsKeysRawAndQuitsOnCtrlBracket) {
    Pty port;
    Pty keyboard;  // velkcom's standard input is this terminal's slave end
    struct termios before;
    ASSERT_EQ(tcgetattr(keyboard.slave, &before), 0);
    Child term({"term", "--device", port.name}, keyboard.slave);
    ASSERT_TRUE(term.started());
    // The banner names the escape key once the terminal is in raw mode.
    Clock::time_point end = Clock::now() + std::chrono::seconds(5);
    while (term.err.find("Ctrl-]") == std::string::npos && Clock::now() < end) term.readUntil("\x01", 20);
    ASSERT_NE(term.err.find("press Ctrl-] to quit"), std::string::npos) << term.err;
    // Ctrl-C goes to the port as a byte, not as a signal; Ctrl-] ends it.
    const std::string keys = "ab\x03c";
    ASSERT_EQ(::write(keyboard.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    std::string atPeer;
    EXPECT_TRUE(port.readUntil(atPeer, keys, 5000)) << atPeer;
    ASSERT_EQ(::write(keyboard.master, "\x1d" "zz", 3), 3);
    EXPECT_EQ(term.finish(5000), 0) << term.err;
    EXPECT_NE(term.err.find("closed COM1"), std::string::npos) << term.err;
    port.readUntil(atPeer, "zz", 200);
    EXPECT_EQ(atPeer, keys) << "nothing after the escape key is sent";
    // The terminal has its settings back.
    struct termios after;
    ASSERT_EQ(tcgetattr(keyboard.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST(VelkcomCommand, HelpOnEveryCommand) {
    for (const char* cmd : {"selftest", "term", "probe", "list", "monitor"}) {
        Result r = run({cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.rfind(std::string("usage: velkcom ") + cmd, 0), 0u) << r.out;
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
    Result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("selftest"), std::string::npos);
    EXPECT_NE(r.out.find("Ctrl-]"), std::string::npos);
}

TEST(VelkcomCommand, BadCommandLinesGiveUsageAndStatus2) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"selftest", "--bogus"},
        {"selftest", "--port", "9"},
        {"selftest", "--port"},
        {"selftest", "--rate", "5"},
        {"term"},
        {"term", "--port", "0", "--flow", "X"},
        {"term", "--port", "0", "--parms", "9N1"},
        {"term", "--port", "0", "--baud", "fast"},
        {"term", "--port", "0", "extra"},
        {"probe", "--port", "1"},
        {"list", "--root"},
        {"list", "--json=1"},
        {"monitor"},
        {"monitor", "--device", "loop://", "--count", "0"},
        {"monitor", "--port", "0", "--hex", "--hex"},
    };
    for (const auto& args : bad) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        Result r = run(args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_NE(r.err.find("usage: velkcom"), std::string::npos) << line << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << line << "\n" << r.out;
    }
}

// The usage goes to standard error, whole, for an unknown command (named)
// and for none; asked for, it goes to standard output.
TEST(VelkcomCommand, AnUnknownCommandIsNamedWithTheWholeUsageAndStatus2) {
    const Result help = run({"--help"});
    ASSERT_EQ(help.status, 0);
    ASSERT_EQ(help.out.rfind("usage: velkcom COMMAND", 0), 0u) << help.out;
    const Result unknown = run({"frobnicate", "--help"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "velkcom: unknown command 'frobnicate'\n" + help.out);
    EXPECT_TRUE(unknown.out.empty()) << unknown.out;
    const Result none = run({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, help.out);
    for (const char* alias : {"-h", "help"}) EXPECT_EQ(run({alias}).out, help.out) << alias;
}

TEST(VelkcomCommand, APortThatDoesNotOpenIsOneLineNamingPortCallAndCode) {
    Result r = run({"term", "--device", "/nonexistent/tty", "--port", "4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkcom: COM5 (/nonexistent/tty): SioReset failed: SIO_WIN_ERROR, error " +
                         std::to_string(ENOENT) + " (" + std::strerror(ENOENT) + ")\n");
    Result s = run({"selftest", "--device", "/nonexistent/tty"});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.err, "velkcom: COM1 (/nonexistent/tty): SioReset failed: SIO_WIN_ERROR, error " +
                         std::to_string(ENOENT) + " (" + std::strerror(ENOENT) + ")\n");
}

TEST(VelkcomCommand, ProbeSaysForEachPortWhetherItOpens) {
    // probe opens /dev/ttyS0 to /dev/ttyS8, which must not be this machine's
    // (one may be its console): it runs in a mount namespace of its own
    // whose /dev holds ttyS0, a link to a pty; ttyS1, a plain file; nothing
    // else but the ptys.
    if (std::system("timeout 30 unshare -r -m mount --bind /dev/pts /dev/pts >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no unprivileged mount namespace here (unshare -r -m), and probe must not open this "
                        "machine's /dev/ttyS*";
    }
    Pty pty;
    char dev[] = "/tmp/velkcom-dev-XXXXXX";
    ASSERT_NE(mkdtemp(dev), nullptr);
    const std::string d = dev;
    ASSERT_EQ(mkdir((d + "/pts").c_str(), 0755), 0);
    ASSERT_EQ(symlink(pty.name, (d + "/ttyS0").c_str()), 0);
    int file = open((d + "/ttyS1").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(file, 0);
    close(file);
    const std::string out = d + "/probe.out";
    const std::string cmd = "timeout 60 unshare -r -m sh -c 'mount --bind /dev/pts " + d + "/pts && mount --rbind " +
                            d + " /dev && exec " + VELKCOM_EXE + " probe' >" + out + " 2>&1";
    int status = std::system(cmd.c_str());
    std::string text;
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    for (const char* name : {"/probe.out", "/ttyS1", "/ttyS0"}) unlink((d + name).c_str());
    rmdir((d + "/pts").c_str());
    rmdir(dev);
    ASSERT_EQ(status, 0) << text;
    auto line = [&](int port) {
        std::string head = "COM" + std::to_string(port + 1) + " (/dev/ttyS" + std::to_string(port) + ")";
        std::size_t at = text.find(head);
        return at == std::string::npos ? "missing: " + head : text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_NE(line(0).find("  opens"), std::string::npos) << text;
    EXPECT_NE(line(1).find("does not open: SioReset gave SIO_WIN_ERROR, error " + std::to_string(ENOTTY) + " (" +
                           std::strerror(ENOTTY) + ")"),
              std::string::npos)
        << text;
    for (int port = 2; port < 9; ++port) {
        EXPECT_NE(line(port).find("does not open: SioReset gave SIO_WIN_ERROR, error " + std::to_string(ENOENT) +
                                  " (" + std::strerror(ENOENT) + ")"),
                  std::string::npos)
            << text;
    }
}

}  // namespace
