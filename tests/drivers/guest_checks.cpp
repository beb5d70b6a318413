// Checks run inside the guests of scripts/vm-drivers.sh, on the kernel's real
// serial drivers, through the library's public functions: a break received,
// an adapter unplugged mid-transfer, a close with output held by XOFF, a
// close behind a slow drain, and the FTDI adapter's latency timer while a
// port is open. One line per check, "PASS name: what was seen" or "FAIL
// name: ...", and the exit status 1 when one failed. Usage:
//   guest_checks held|drain|break|unplug|loopoff DEVICE
//   guest_checks drain DEVICE echo
//   guest_checks latency DEVICE SYSFS_FILE
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
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
    for (int i = 0; i < 250; ++i) {
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
// then a call fails with SIO_WIN_ERROR, and SioDone returns.
int unplug(const char* dev) {
    velk_map_port(0, dev);
    if (SioReset(0, 4096, 4096) != 0) return verdict(false, "unplug", "SioReset failed");
    SioBaud(0, SIO_BAUD115200);
    std::printf("== unplug now\n");
    std::fflush(stdout);
    long long got = 0;
    int failedWith = 0;
    const char* failedIn = "";
    const Clock::time_point start = Clock::now();
    char buf[256];
    std::memset(buf, 'u', sizeof buf);
    while (msSince(start) < 30000 && failedWith == 0) {
        const int put = SioPuts(0, buf, 64);
        if (put < 0) {
            failedWith = put;
            failedIn = "SioPuts";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    return verdict(got > 0 && failedWith == SIO_WIN_ERROR && done == 1, "unplug",
                   std::to_string(got) + " bytes back, then " + failedIn + " gave " + std::to_string(failedWith) +
                       " (error " + std::to_string(code) + "); SioDone " + std::to_string(done) + " in " +
                       std::to_string(msSince(closeAt)) + " ms");
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
    if (argc >= 3 && std::strcmp(argv[1], "unplug") == 0) return unplug(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "loopoff") == 0) return loopOff(argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "latency") == 0) return latency(argv[2], argv[3]);
    std::fprintf(stderr, "usage: guest_checks held|drain DEVICE | latency DEVICE SYSFS_FILE\n");
    return 2;
}
