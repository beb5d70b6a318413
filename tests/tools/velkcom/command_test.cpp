// The velkcom program run as a user runs it, on POSIX: the self-test on the
// built-in loopback plug and on a pty whose far end echoes, `velkcom term`
// exchanging data with a pty peer (the master end of support/pty_pair.h),
// and the command line's answers to help, bad options and ports that do not
// open. Every wait is bounded; a child still running at the end is killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

// A velkcom process with pipes on its standard input, output and error.
class Child {
public:
    // With stdinFd, standard input is that file or terminal instead of a pipe.
    explicit Child(const std::vector<std::string>& args, int stdinFd = -1) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(stdinFd >= 0 ? stdinFd : in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            std::vector<char*> argv;
            static std::string exe = VELKCOM_EXE;
            argv.push_back(&exe[0]);
            std::vector<std::string> copy = args;
            for (std::string& a : copy) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }

    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, stdout_, stderr_}) {
            if (fd >= 0) close(fd);
        }
    }

    bool started() const { return pid_ > 0; }

    void write(const std::string& data) {
        ASSERT_EQ(::write(stdin_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    void closeStdin() {
        close(stdin_);
        stdin_ = -1;
    }

    // Reads standard output until it contains want or ms have passed.
    bool readUntil(const std::string& want, int ms) {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        while (out.find(want) == std::string::npos) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0 || !pump(left)) return out.find(want) != std::string::npos;
        }
        return true;
    }

    // Closes standard input, collects all output and waits for the exit, for
    // at most ms. Returns the exit status, or -1 when it did not exit.
    int finish(int ms) {
        if (stdin_ >= 0) closeStdin();
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        while (stdout_ >= 0 || stderr_ >= 0) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) return -1;
            pump(left);
        }
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (Clock::now() >= end) return -1;
            usleep(2000);
        }
    }

    std::string out, err;

private:
    // Waits up to ms for output on either pipe and takes it; false when both
    // pipes are closed or nothing came.
    bool pump(int ms) {
        struct pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        if (stdout_ < 0 && stderr_ < 0) return false;
        if (poll(fds, 2, ms) <= 0) return false;
        takeFrom(fds[0], stdout_, out);
        takeFrom(fds[1], stderr_, err);
        return true;
    }
    static void takeFrom(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
        } else {
            close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
};

// Runs velkcom to the end with no input.
struct Result {
    int status;
    std::string out, err;
};
Result run(const std::vector<std::string>& args, int ms = 30000) {
    Child c(args);
    EXPECT_TRUE(c.started());
    int status = c.finish(ms);
    return {status, c.out, c.err};
}

// The pty pair of the tests' support: the master end is the peer of the port
// opened on the slave.
using velk::Pty;

TEST(VelkcomCommand, SelftestPassesEveryCheckOnTheBuiltInLoopbackPlug) {
    Result r = run({"selftest"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("velkcom selftest on COM1 (loop://)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("22 checks: 22 PASS, 0 FAIL, 0 SKIP"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(VelkcomCommand, SelftestOnAPtySkipsWhatAPtyCannotDoAndPassesTheRest) {
    Pty pty;
    Pty::setBlocking(pty.master, true);  // the echo below waits for room
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
    Result r = run({"selftest", "--device", pty.path.c_str(), "--port", "2"}, 60000);
    stop = true;
    echo.join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("velkcom selftest on COM3 (" + std::string(pty.path.c_str()) + ")"), std::string::npos) << r.out;
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
}

TEST(VelkcomCommand, TermExchangesDataWithAPtyPeer) {
    Pty pty;
    Child term({"term", "--device", pty.path.c_str(), "--baud", "115200", "--parms", "8N1", "--drain", "300"});
    ASSERT_TRUE(term.started());
    // Standard input reaches the peer, every byte value as it is.
    const std::string ask = std::string("hello\r\n\x00\xff", 9);
    term.write(ask);
    std::string atPeer;
    EXPECT_TRUE(pty.receiveUntil(atPeer, ask, std::chrono::milliseconds(5000))) << "peer saw: " << atPeer << "\nstderr: " << term.err;
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
    int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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

TEST(VelkcomCommand, TermOnATerminalSendsKeysRawAndQuitsOnCtrlBracket) {
    Pty port;
    Pty keyboard;  // velkcom's standard input is this terminal's slave end
    struct termios before;
    ASSERT_EQ(tcgetattr(keyboard.slave, &before), 0);
    Child term({"term", "--device", port.path.c_str()}, keyboard.slave);
    ASSERT_TRUE(term.started());
    // The banner names the escape key once the terminal is in raw mode.
    Clock::time_point end = Clock::now() + std::chrono::seconds(5);
    while (term.err.find("Ctrl-]") == std::string::npos && Clock::now() < end) term.readUntil("\x01", 20);
    ASSERT_NE(term.err.find("press Ctrl-] to quit"), std::string::npos) << term.err;
    // Ctrl-C goes to the port as a byte, not as a signal; Ctrl-] ends it.
    const std::string keys = "ab\x03c";
    ASSERT_EQ(::write(keyboard.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    std::string atPeer;
    EXPECT_TRUE(port.receiveUntil(atPeer, keys, std::chrono::milliseconds(5000))) << atPeer;
    ASSERT_EQ(::write(keyboard.master, "\x1d" "zz", 3), 3);
    EXPECT_EQ(term.finish(5000), 0) << term.err;
    EXPECT_NE(term.err.find("closed COM1"), std::string::npos) << term.err;
    port.receiveUntil(atPeer, "zz", std::chrono::milliseconds(200));
    EXPECT_EQ(atPeer, keys) << "nothing after the escape key is sent";
    // The terminal has its settings back.
    struct termios after;
    ASSERT_EQ(tcgetattr(keyboard.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST(VelkcomCommand, HelpOnEveryCommand) {
    for (const char* cmd : {"selftest", "term", "probe"}) {
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
    Result r = run({"probe"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 1; i <= 9; ++i) {
        std::string head = "COM" + std::to_string(i) + " (/dev/ttyS" + std::to_string(i - 1) + ")";
        std::size_t at = r.out.find(head);
        ASSERT_NE(at, std::string::npos) << r.out;
        std::string line = r.out.substr(at, r.out.find('\n', at) - at);
        bool opens = line.find("  opens") != std::string::npos;
        bool why = line.find("does not open: SioReset gave SIO_WIN_ERROR, error ") != std::string::npos;
        EXPECT_TRUE(opens != why) << line;
    }
}

}  // namespace
