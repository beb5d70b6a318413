// Checks run inside the guests of scripts/vm-drivers.sh, on the kernel's real
// serial drivers, through the library's public functions: a break received,
// an adapter unplugged mid-transfer, a close with output held by XOFF, a
// close behind a slow drain, the FTDI adapter's latency timer while a port
// is open, and velk_wait and velk_port_fd on a driver. For a USB CDC-ACM device played by the guest's own kernel
// (g_serial on dummy_hcd; the host side cdc_acm's ttyACM0, the device side
// ttyGS0) this program is the device side too: an echo while a command runs,
// DSR and DCD following the device side's open and close (through the
// library and through `velkcom monitor`), whether the host's DTR and RTS
// reach the device side, a refused break, and the gadget removed
// mid-transfer. One line per check, "PASS name: what was seen" or "FAIL
// name: ...", and the exit status 1 when one failed; "SKIP name: why" and
// exit status 77 when the kernel cannot show it. Usage:
//   guest_checks held|drain|break|unplug|loopoff|wait DEVICE
//   guest_checks drain|wait DEVICE echo
//   guest_checks wait HOST GADGET
//   guest_checks latency DEVICE SYSFS_FILE
//   guest_checks echo GADGET PROGRAM ARGS...     (PROGRAM's exit status)
//   guest_checks cdclines|ctrllines HOST GADGET
//   guest_checks cdcmonitor VELKCOM HOST GADGET
//   guest_checks refusedbreak HOST
//   guest_checks unplug HOST GADGET REMOVE_COMMAND
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velk32.h"
#include "velk32_posix.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

int verdict(bool ok, const char* name, const std::string& seen) {
    std::printf("%s %s: %s\n", ok ? "PASS" : "FAIL", name, seen.c_str());
    return ok ? 0 : 1;
}

// The device side of a gadget port, opened by this program, raw (no echo,
// no line editing, no flow control) and non-blocking.
int openRaw(const char* dev) {
    const int fd = ::open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Waits up to ms for cond; returns the milliseconds it took, -1 when it did
// not come true.
template <class Cond>
long long waitFor(Cond cond, int ms) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (cond()) return msSince(start);
        if (msSince(start) >= ms) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The device side's echo: what the host sends comes back, until stopped or
// the port hangs up (the gadget removed). On a hang-up it closes the port at
// once: removing the gadget waits until no program holds its side open.
class DeviceEcho {
public:
    explicit DeviceEcho(const char* dev) : fd_(openRaw(dev)) {
        ok_ = fd_ >= 0;
        if (ok_) thread_ = std::thread([this] { run(); });
    }
    ~DeviceEcho() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }
    long long bytes() const { return bytes_; }
    // Why the echo ended before it was stopped; empty while it runs.
    std::string ended() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return ended_;
    }

private:
    void run() {
        char buf[4096];
        std::string why;
        while (!stop_ && why.empty()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                why = n == 0 ? "end of file" : std::strerror(errno);
                break;
            }
            for (ssize_t off = 0; off < n && !stop_ && why.empty();) {
                const ssize_t w = ::write(fd_, buf + off, static_cast<size_t>(n - off));
                if (w > 0) {
                    off += w;
                } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    why = std::strerror(errno);
                } else {
                    pollfd q{fd_, POLLOUT, 0};
                    poll(&q, 1, 50);
                }
            }
            bytes_ += n;
        }
        if (why.empty()) return;
        ::close(fd_);
        fd_ = -1;
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = why;
    }
    int fd_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<long long> bytes_{0};
    mutable std::mutex mutex_;
    std::string ended_;
    std::thread thread_;
};

// Sets the UART's internal loopback through a descriptor of the test's own,
// left open (so the library's close is not the last) when keep is set.
int loopback(const char* dev, bool keep) {
    int fd = ::open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    int bits = 0x8000 | TIOCM_DTR | TIOCM_RTS;  // TIOCM_LOOP
    if (fd >= 0) ioctl(fd, TIOCMBIS, &bits);
    if (!keep && fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

// XOFF comes back through the loop and holds the transmitter; 2000 bytes
// stay queued, and SioDone must not wait for the driver's closing_wait (30 s):
// it gives up after about a second, and is allowed ten on a busy machine.
int held(const char* dev) {
    loopback(dev, false);
    velk_map_port(0, dev);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "held close", "SioReset failed");
    SioBaud(0, SIO_BAUD9600);
    SioFlow(0, SIO_FLOW_SOFTWARE);
    SioPutc(0, 0x13);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<char> data(2000, 'h');
    const int put = SioPuts(0, data.data(), 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int queued = SioTxQue(0);
    const Clock::time_point start = Clock::now();
    const int done = SioDone(0);
    const long long ms = msSince(start);
    return verdict(done == 1 && queued > 1000 && ms < 10000, "held close",
                   "SioPuts " + std::to_string(put) + ", " + std::to_string(queued) + " queued, SioDone " +
                       std::to_string(done) + " in " + std::to_string(ms) + " ms");
}

// 4 KiB at 9600 baud: every byte comes back through the loop before SioDone
// returns. A reader on a second descriptor counts them; when SioDone returns,
// what it has read and what waits for it in the kernel must be all but the
// last few on their way up (the UART's receive FIFO, the tty's buffers:
// allowed up to half a second of the line, 512 bytes, where a close that
// did not wait would leave most of the 4.3 s of them to come).
// Through an echo on the host (farEcho) the bytes come back after their
// round trip, so only their count is checked.
int drain(const char* dev, bool farEcho) {
    const int fd = loopback(dev, true);
    velk_map_port(0, dev);
    if (fd < 0 || SioReset(0, 4096, 8192) != 0) return verdict(false, "slow drain", "open failed");
    SioBaud(0, SIO_BAUD9600);
    std::atomic<bool> stop{false};
    std::mutex mu;  // held over each read and its count
    long long got = 0;
    std::thread reader([&] {
        char buf[512];
        while (!stop) {
            std::unique_lock<std::mutex> lock(mu);
            const ssize_t r = ::read(fd, buf, sizeof buf);
            if (r > 0) {
                got += r;
            } else {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    });
    std::vector<char> data(4096, 'd');
    const int put = SioPuts(0, data.data(), 4096);
    const Clock::time_point start = Clock::now();
    const int done = SioDone(0);
    const long long ms = msSince(start);
    long long atDone = 0;
    {
        std::lock_guard<std::mutex> lock(mu);
        int waiting = 0;
        ioctl(fd, FIONREAD, &waiting);
        atDone = got + waiting;
    }
    // Through the host's echo the last bytes may still be on their way back
    // when the driver's queue is empty: a busy host echoes late.
    for (int i = 0; i < 500; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> lock(mu);
        if (got == 4096) break;
    }
    stop = true;
    reader.join();
    ::close(fd);
    return verdict(done == 1 && got == 4096 && (farEcho || atDone >= 4096 - 512), "slow drain",
                   "SioPuts " + std::to_string(put) + ", SioDone in " + std::to_string(ms) + " ms with " +
                       std::to_string(atDone) + " bytes back, " + std::to_string(got) + " in all" +
                       (farEcho ? " (through the host's echo)" : ""));
}

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

// The adapter's latency timer: 1 while the port is open, the driver's own
// value again once it is closed.
int latency(const char* dev, const char* sysfs) {
    const std::string before = readFile(sysfs);
    velk_map_port(0, dev);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "latency timer", "SioReset failed");
    const std::string open = readFile(sysfs);
    SioDone(0);
    const std::string after = readFile(sysfs);
    return verdict(open == "1" && !after.empty() && after != "1", "latency timer",
                   "before " + before + ", open " + open + ", closed " + after);
}

// A break the host sends into the telnet-backed UART (IAC BRK, repeated
// until the guest has seen one) arrives as CE_BREAK and a 0x00 byte.
int breakIn(const char* dev) {
    velk_map_port(0, dev);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "break received", "SioReset failed");
    int flags = 0;
    int zero = 0;
    const Clock::time_point start = Clock::now();
    while (msSince(start) < 20000 && !((flags & SIO_CE_BREAK) && zero)) {
        flags |= SioStatus(0, SIO_CE_ALL);
        int c;
        while ((c = SioGetc(0)) >= 0) zero |= c == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    SioDone(0);
    return verdict((flags & SIO_CE_BREAK) && zero, "break received",
                   "SioStatus flags " + std::to_string(flags) + (zero ? ", a 0x00 byte" : ", no 0x00 byte") +
                       " after " + std::to_string(msSince(start)) + " ms");
}

// The adapter is unplugged by the host (QMP device_del) once "unplug now"
// is printed, while data goes round through the echo: bytes come back first,
// then a call fails with SIO_WIN_ERROR, and SioDone returns. With a gadget,
// the guest removes the device itself: this program echoes on the gadget's
// side and runs removeCommand (rmmod g_serial) once data flows. Between a
// write and its echo the check sleeps in velk_wait, so the removal mostly
// comes during a wait, which must end (a wait that runs out its 20 s fails
// the check).
int unplug(const char* dev, const char* gadget, const char* removeCommand) {
    std::unique_ptr<DeviceEcho> echo;
    if (gadget != nullptr) {
        echo = std::make_unique<DeviceEcho>(gadget);
        if (!echo->ok()) return verdict(false, "unplug", std::string("cannot open ") + gadget);
    }
    velk_map_port(0, dev);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "unplug", "SioReset failed");
    SioBaud(0, SIO_BAUD115200);
    if (removeCommand == nullptr) {
        std::printf("== unplug now\n");
        std::fflush(stdout);
    }
    // Set by the removal's thread, which may outlive this function when the
    // removal hangs.
    static std::atomic<int> removed{-1};
    static std::atomic<bool> removalDone{false};
    std::thread remover;
    long long got = 0, gotBeforeRemoval = -1;
    int failedWith = 0;
    const char* failedIn = "";
    const Clock::time_point start = Clock::now();
    char buf[256];
    std::memset(buf, 'u', sizeof buf);
    while (msSince(start) < 30000 && failedWith == 0) {
        if (removeCommand != nullptr && gotBeforeRemoval < 0 && got >= 2048) {
            gotBeforeRemoval = got;
            remover = std::thread([removeCommand] {
                removed = std::system(removeCommand);
                removalDone = true;
            });
        }
        const int put = SioPuts(0, buf, 64);
        if (put < 0) {
            failedWith = put;
            failedIn = "SioPuts";
            break;
        }
        const int woke = velk_wait(0, 20000);
        if (woke != 1) {
            failedWith = woke == 0 ? -1 : woke;
            failedIn = "velk_wait (ran out)";
            break;
        }
        const int r = SioGets(0, buf + 64, 192);
        if (r < 0) {
            failedWith = r;
            failedIn = "SioGets";
        } else {
            got += r;
        }
    }
    const int code = SioWinError();
    const Clock::time_point closeAt = Clock::now();
    const int done = SioDone(0);
    const long long closeMs = msSince(closeAt);
    std::string removal;
    if (remover.joinable()) {
        if (waitFor([] { return removalDone.load(); }, 30000) < 0) {
            remover.detach();
            return verdict(false, "unplug", "\"" + std::string(removeCommand) + "\" did not finish in 30 s");
        }
        remover.join();
    }
    if (removeCommand != nullptr) {
        removal = "; \"" + std::string(removeCommand) + "\" gave " + std::to_string(removed.load()) + " after " +
                  std::to_string(gotBeforeRemoval) + " bytes back; the device side's echo ended: " +
                  (echo->ended().empty() ? "not" : echo->ended());
    }
    return verdict(got > 0 && failedWith == SIO_WIN_ERROR && done == 1 && (removeCommand == nullptr || removed == 0),
                   "unplug",
                   std::to_string(got) + " bytes back, then " + failedIn + " gave " + std::to_string(failedWith) +
                       " (error " + std::to_string(code) + "); SioDone " + std::to_string(done) + " in " +
                       std::to_string(closeMs) + " ms" + removal);
}

// ---- A USB CDC-ACM device: host side HOST (cdc_acm), device side GADGET ----

// Runs a program while this one echoes on the device side; its exit status.
int withEcho(const char* gadget, char** argv) {
    DeviceEcho echo(gadget);
    if (!echo.ok()) return verdict(false, "device-side echo", std::string("cannot open ") + gadget);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return verdict(false, "device-side echo", "cannot run the program");
    std::printf("(the device side echoed %lld bytes)\n", echo.bytes());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// DSR and DCD, read through SioDSR and SioDCD, are on while the device side
// holds its port open and off once it has closed it: the gadget reports its
// program's presence in its serial-state notifications.
int cdcLines(const char* host, const char* gadget) {
    velk_map_port(0, host);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "DSR and DCD", "SioReset failed");
    int dsr = 0, dcd = 0;
    auto lines = [&](int want) {
        dsr = SioDSR(0);
        dcd = SioDCD(0);
        return (dsr | dcd) == want;
    };
    std::string seen;
    auto state = [&](const char* what, long long ms) {
        seen += std::string(seen.empty() ? "" : "; ") + what + ": DSR " + std::to_string(dsr) + " DCD " +
                std::to_string(dcd) + (ms >= 0 ? " after " + std::to_string(ms) + " ms" : " (still, after 10 s)");
    };
    const long long closedMs = waitFor([&] { return lines(0); }, 10000);
    state("device side closed", closedMs);
    const int fd = openRaw(gadget);
    const long long openMs = waitFor([&] { return lines(SIO_MS_DSR_ON | SIO_MS_RLSD_ON); }, 10000);
    state("device side open", openMs);
    if (fd >= 0) ::close(fd);
    const long long againMs = waitFor([&] { return lines(0); }, 10000);
    state("closed again", againMs);
    const int done = SioDone(0);
    return verdict(fd >= 0 && closedMs >= 0 && openMs >= 0 && againMs >= 0 && done == 1, "DSR and DCD", seen);
}

// `velkcom monitor` on the host side shows DSR and DCD going on when the
// device side opens its port and off when it closes it. Its lines are read
// as they come; the device side acts on what the monitor shows.
int cdcMonitor(const char* velkcom, const char* host, const char* gadget) {
    int out[2];
    if (pipe(out) != 0) return verdict(false, "velkcom monitor", "no pipe");
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        execl(velkcom, velkcom, "monitor", "--device", host, "--count", "100", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    int step = 0;  // 0 waits for DSR- DCD-, 1 for DSR+ DCD+, 2 for DSR- DCD- again
    int fd = -1;
    std::string pending, shown;
    const Clock::time_point start = Clock::now();
    while (step < 3 && msSince(start) < 20000) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        for (std::size_t nl; step < 3 && (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            const std::string line = pending.substr(0, nl);
            shown += "  " + line + "\n";
            const bool off = line.find("DSR-") != std::string::npos && line.find("DCD-") != std::string::npos;
            const bool on = line.find("DSR+") != std::string::npos && line.find("DCD+") != std::string::npos;
            if ((step == 0 && off) || (step == 2 && off)) {
                ++step;
                if (step == 1) fd = openRaw(gadget);
            } else if (step == 1 && on) {
                ++step;
                if (fd >= 0) ::close(fd);
                fd = -1;
            }
        }
    }
    if (fd >= 0) ::close(fd);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ::close(out[0]);
    std::printf("%s", shown.c_str());
    static const char* const waited[] = {"DSR- DCD- at the start", "DSR+ DCD+ once the device side opened",
                                         "DSR- DCD- once it closed"};
    return verdict(step == 3, "velkcom monitor",
                   step == 3 ? "DSR and DCD went on with the device side's open and off with its close"
                             : std::string("no line with ") + waited[step] + " within 20 s");
}

// Whether the host's DTR and RTS (the CDC SET_CONTROL_LINE_STATE request)
// reach the device side, read there with TIOCMGET. Exit status 77 when the
// device side's tty cannot report its modem lines at all.
int ctrlLines(const char* host, const char* gadget) {
    const int fd = openRaw(gadget);
    velk_map_port(0, host);
    if (fd < 0 || SioReset(0, 4096, 4096) != 0) return verdict(false, "DTR and RTS on the device side", "open failed");
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0) {
        const int e = errno;
        SioDone(0);
        ::close(fd);
        std::printf("SKIP DTR and RTS on the device side: TIOCMGET on %s fails with errno %d (%s): the gadget's "
                    "tty has no modem-line operations, so what the host sets cannot be seen there\n",
                    gadget, e, std::strerror(e));
        return 77;
    }
    std::string seen;
    bool ok = true;
    const struct {
        const char* name;
        int(VELK_CALL* call)(int, int);
    } lines[] = {{"DTR", SioDTR}, {"RTS", SioRTS}};
    for (const auto& l : lines) {
        int off = 0, on = 0;
        l.call(0, SIO_LINE_CLEAR);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ioctl(fd, TIOCMGET, &off);
        l.call(0, SIO_LINE_SET);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ioctl(fd, TIOCMGET, &on);
        char text[96];
        std::snprintf(text, sizeof text, "%s%s off: 0x%03X, on: 0x%03X", seen.empty() ? "" : "; ", l.name, off, on);
        seen += text;
        ok = ok && off != on;
    }
    SioDone(0);
    ::close(fd);
    return verdict(ok, "DTR and RTS on the device side", "TIOCMGET there: " + seen);
}

// A break the driver refuses (cdc_acm, when the device does not offer one)
// is reported as any refused device call: the success flag 0, and the last
// error (set here beforehand by a failed open) left as it was.
int refusedBreak(const char* host) {
    velk_map_port(1, "/nonexistent/velk-no-device");
    const int missing = SioReset(1, 4096, 4096);
    const int before = SioWinError();
    velk_map_port(0, host);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "refused break", "SioReset failed");
    const int a = SioBrkSig(0, SIO_BREAK_ASSERT);
    const int c = SioBrkSig(0, SIO_BREAK_CANCEL);
    const int after = SioWinError();
    const int dtr = SioDTR(0, SIO_LINE_SET);  // the port still works
    const int done = SioDone(0);
    return verdict(missing == SIO_WIN_ERROR && a == 0 && c == 0 && after == before && dtr == 1 && done == 1,
                   "refused break",
                   "SioBrkSig('A') gave " + std::to_string(a) + ", SioBrkSig('C') " + std::to_string(c) +
                       "; SioWinError " + std::to_string(before) + " before, " + std::to_string(after) +
                       " after; then SioDTR('S') " + std::to_string(dtr) + ", SioDone " + std::to_string(done));
}

// Waiting on the driver: a silent line waits out velk_wait's time-out; a
// byte that comes back through the UART's internal loop, the host's echo
// (farEcho) or the gadget's device-side echo while velk_wait sleeps ends
// the wait and is there to read; the descriptor is quiet once it is read
// and readable when the next comes.
int waitOn(const char* dev, bool farEcho, const char* gadget) {
    std::unique_ptr<DeviceEcho> echo;
    if (gadget != nullptr) {
        echo = std::make_unique<DeviceEcho>(gadget);
        if (!echo->ok()) return verdict(false, "wait", std::string("cannot open ") + gadget);
    }
    const int fd = farEcho || gadget != nullptr ? -1 : loopback(dev, true);
    velk_map_port(0, dev);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "wait", "SioReset failed");
    SioBaud(0, SIO_BAUD115200);
    Clock::time_point t = Clock::now();
    const int idle = velk_wait(0, 300);
    const long long idleMs = msSince(t);
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SioPutc(0, 'w');
    });
    t = Clock::now();
    const int woke = velk_wait(0, 10000);
    const long long wokeMs = msSince(t);
    const int c = SioGetc(0);
    sender.join();
    pollfd p = {velk_port_fd(0), POLLIN, 0};
    const int quiet = poll(&p, 1, 0);
    SioPutc(0, 'x');
    const int ready = poll(&p, 1, 5000);
    const int c2 = SioGetc(0);
    SioDone(0);
    if (fd >= 0) ::close(fd);
    return verdict(idle == 0 && idleMs >= 300 && woke == 1 && c == 'w' && quiet == 0 && ready == 1 && c2 == 'x',
                   "wait", "silent: " + std::to_string(idle) + " after " + std::to_string(idleMs) +
                               " ms; a byte: " + std::to_string(woke) + " after " + std::to_string(wokeMs) +
                               " ms, read " + std::to_string(c) + "; descriptor quiet " + std::to_string(quiet) +
                               ", then readable " + std::to_string(ready) + ", read " + std::to_string(c2));
}

// After `velkcom selftest --internal-loopback` the UART is out of its
// loopback again: the test gives the port back as it found it.
int loopOff(const char* dev) {
    const int fd = ::open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    int bits = 0;
    const bool read = fd >= 0 && ioctl(fd, TIOCMGET, &bits) == 0;
    if (fd >= 0) ::close(fd);
    char seen[64];
    std::snprintf(seen, sizeof seen, "modem-control bits 0x%04X", bits);
    return verdict(read && (bits & 0x8000) == 0, "loopback left", seen);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "held") == 0) return held(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "drain") == 0) return drain(argv[2], argc >= 4 && std::strcmp(argv[3], "echo") == 0);
    if (argc >= 3 && std::strcmp(argv[1], "break") == 0) return breakIn(argv[2]);
    if (argc >= 5 && std::strcmp(argv[1], "unplug") == 0) return unplug(argv[2], argv[3], argv[4]);
    if (argc >= 3 && std::strcmp(argv[1], "unplug") == 0) return unplug(argv[2], nullptr, nullptr);
    if (argc >= 4 && std::strcmp(argv[1], "echo") == 0) return withEcho(argv[2], argv + 3);
    if (argc >= 4 && std::strcmp(argv[1], "cdclines") == 0) return cdcLines(argv[2], argv[3]);
    if (argc >= 4 && std::strcmp(argv[1], "ctrllines") == 0) return ctrlLines(argv[2], argv[3]);
    if (argc >= 5 && std::strcmp(argv[1], "cdcmonitor") == 0) return cdcMonitor(argv[2], argv[3], argv[4]);
    if (argc >= 3 && std::strcmp(argv[1], "refusedbreak") == 0) return refusedBreak(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "loopoff") == 0) return loopOff(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "wait") == 0) {
        const bool farEcho = argc >= 4 && std::strcmp(argv[3], "echo") == 0;
        return waitOn(argv[2], farEcho, argc >= 4 && !farEcho ? argv[3] : nullptr);
    }
    if (argc >= 4 && std::strcmp(argv[1], "latency") == 0) return latency(argv[2], argv[3]);
    std::fprintf(stderr, "usage: see the opening comment of tests/drivers/guest_checks.cpp\n");
    return 2;
}
