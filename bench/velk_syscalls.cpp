// Makes each library call, and each floor's raw calls, a number of times on a
// pty pair, fencing every single call with marker system calls so that a
// trace of this program (strace -f) shows exactly which system calls that one
// call made. The marker is access() on a path that does not exist and names
// the case: "/velk-mark/B/<case>" before the call, "/velk-mark/E" after.
// bench/report.py turns the trace into counts per call. Bytes the
// receive cases need are sent by the peer (the pty's master end) outside the
// fences, and the peer is drained there too; the 64 KiB send needs a peer
// thread reading at the same time, whose system calls the table leaves out.
//
// With --callgrind it instead makes kCallgrindCalls calls of each measured
// function and of the raw floor functions beside them (floor_*), with no
// markers, for a run under callgrind that counts the instructions executed in
// user space per call: load-independent evidence of what the library adds.
// --callgrind-waiting does the same for SioGetc and read(fd, 1) draining
// bytes that have all arrived.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "velk32.h"
#include "velk32_posix.h"

using velkbench::PtyPeer;

namespace {

constexpr int kPort = 0;
constexpr int kCalls = 50;

void mark(const std::string& what) {
    access(what.c_str(), F_OK);
}

// Runs body kCalls times, each fenced by markers naming the case.
template <typename Body>
void fenced(const char* name, Body body, int calls = kCalls) {
    const std::string begin = std::string("/velk-mark/B/") + name;
    for (int i = 0; i < calls; ++i) {
        mark(begin);
        body();
        mark("/velk-mark/E");
    }
}

// Waits (up to 2 s) until the slave end has at least n bytes to read.
bool waitInput(int fd, int n) {
    for (int i = 0; i < 200; ++i) {
        int have = 0;
        ioctl(fd, FIONREAD, &have);
        if (have >= n) return true;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 10);
    }
    return false;
}

void sendToSlave(const PtyPeer& pty, int n) {
    std::vector<char> buf(n, 'z');
    int off = 0;
    while (off < n) {
        ssize_t w = write(pty.master(), buf.data() + off, n - off);
        if (w > 0) off += static_cast<int>(w);
    }
}

void drainMaster(const PtyPeer& pty) {
    char buf[4096];
    pollfd p{pty.master(), POLLIN, 0};
    while (poll(&p, 1, 5) > 0 && read(pty.master(), buf, sizeof buf) > 0) {
    }
}

}  // namespace

// The floors as functions of their own, so that callgrind can count them.
extern "C" __attribute__((noinline)) int floor_fionread(int fd) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}
extern "C" __attribute__((noinline)) int floor_inq_outq(int fd) {
    int in = 0, out = 0;
    ioctl(fd, TIOCINQ, &in);
    ioctl(fd, TIOCOUTQ, &out);
    return in + out;
}
extern "C" __attribute__((noinline)) ssize_t floor_read(int fd, char* buf, size_t n) {
    return read(fd, buf, n);
}
extern "C" __attribute__((noinline)) ssize_t floor_write(int fd, const char* buf, size_t n) {
    return write(fd, buf, n);
}

namespace {

constexpr int kCallgrindCalls = 1000;
constexpr int kWaiting = 2048;      // bytes waiting in the drain cases
constexpr int kWaitingRounds = 4;   // drains of kWaiting bytes under callgrind

// Sends kWaiting bytes from the peer and waits until the port holds them all.
void fillWaiting(const PtyPeer& pty) {
    sendToSlave(pty, kWaiting);
    waitInput(pty.slave(), kWaiting);
}

int callgrindRun(PtyPeer& pty) {
    const int slave = pty.slave();
    if (SioReset(kPort, 4096, 4096) != 0) return 1;
    char buf[4096];
    for (int i = 0; i < kCallgrindCalls; ++i) SioGetc(kPort);
    for (int i = 0; i < kCallgrindCalls; ++i) floor_fionread(slave);
    for (int i = 0; i < kCallgrindCalls; ++i) floor_inq_outq(slave);
    for (int i = 0; i < kCallgrindCalls; ++i) SioRxQue(kPort);
    for (int i = 0; i < kCallgrindCalls; ++i) SioStatus(kPort, SIO_CE_ALL);
    for (int i = 0; i < kCallgrindCalls; ++i) SioGets(kPort, buf, sizeof buf);
    for (int i = 0; i < kCallgrindCalls; ++i) floor_read(slave, buf, sizeof buf);
    for (int i = 0; i < kCallgrindCalls; ++i) SioPutc(kPort, 'c');
    drainMaster(pty);
    for (int i = 0; i < kCallgrindCalls; ++i) floor_write(slave, "c", 1);
    drainMaster(pty);
    for (int i = 0; i < kCallgrindCalls; ++i) SioDTR(kPort, SIO_LINE_READ);
    for (int i = 0; i < kCallgrindCalls; ++i) SioInfo(SIO_INFO_VERSION);
    SioDone(kPort);
    return 0;
}

// SioGetc and read(fd, 1) draining bytes that have all arrived: each
// kWaitingRounds * kWaiting calls, for the instructions per byte taken.
int callgrindWaiting(PtyPeer& pty) {
    if (SioReset(kPort, 4096, 4096) != 0) return 1;
    char byte;
    for (int r = 0; r < kWaitingRounds; ++r) {
        fillWaiting(pty);
        for (int i = 0; i < kWaiting; ++i) SioGetc(kPort);
        fillWaiting(pty);
        for (int i = 0; i < kWaiting; ++i) floor_read(pty.slave(), &byte, 1);
    }
    SioDone(kPort);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    PtyPeer pty;
    const int slave = pty.slave();
    PtyPeer::setNonBlocking(slave);
    velk_map_port(kPort, pty.path());
    if (argc > 1 && std::string(argv[1]) == "--callgrind") return callgrindRun(pty);
    if (argc > 1 && std::string(argv[1]) == "--callgrind-waiting") return callgrindWaiting(pty);
    char buf[65536] = {};

    fenced("SioReset+SioDone", [] {
        SioReset(kPort, 4096, 4096);
        SioDone(kPort);
    }, 10);
    fenced("floor:open+tcgetattr+tcsetattr+close", [&] {
        int fd = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        close(fd);
    }, 10);

    if (SioReset(kPort, 4096, 4096) != 0) {
        std::fprintf(stderr, "SioReset failed: %d\n", SioWinError());
        return 1;
    }
    fenced("SioGetc (empty)", [] { SioGetc(kPort); });
    fenced("floor:ioctl(FIONREAD)", [&] {
        int n;
        ioctl(slave, FIONREAD, &n);
    });
    for (int i = 0; i < kCalls; ++i) {
        sendToSlave(pty, 1);
        waitInput(slave, 1);
        fenced("SioGetc (byte waiting)", [] { SioGetc(kPort); }, 1);
    }
    for (int i = 0; i < kCalls; ++i) {
        sendToSlave(pty, 4096);
        waitInput(slave, 4095);  // the line discipline holds 4095 at most
        fenced("SioGets 4 KiB (data waiting)", [&] { SioGets(kPort, buf, 4096); }, 1);
        SioRxClear(kPort);
    }
    for (int r = 0; r < 2; ++r) {
        fillWaiting(pty);
        fenced("SioGetc (2 KiB waiting)", [] { SioGetc(kPort); }, kWaiting);
        fillWaiting(pty);
        fenced("floor:read(1) (2 KiB waiting)", [&] { read(slave, buf, 1); }, kWaiting);
    }
    fenced("SioGets 4 KiB (empty)", [&] { SioGets(kPort, buf, 4096); });
    fenced("SioPutc", [] { SioPutc(kPort, 'p'); });
    drainMaster(pty);
    for (int i = 0; i < kCalls; ++i) {
        fenced("SioPuts 1 KiB", [&] { SioPuts(kPort, buf, 1024); }, 1);
        drainMaster(pty);
    }
    pty.startSink();
    fenced("SioPuts 64 KiB (peer reading)", [&] { SioPuts(kPort, buf, 65536); }, 20);
    pty.stopPeer();
    drainMaster(pty);

    fenced("SioRxQue", [] { SioRxQue(kPort); });
    fenced("SioTxQue", [] { SioTxQue(kPort); });
    fenced("SioStatus", [] { SioStatus(kPort, SIO_CE_ALL); });
    fenced("SioDTR('R')", [] { SioDTR(kPort, SIO_LINE_READ); });
    fenced("SioInfo('V')", [] { SioInfo(SIO_INFO_VERSION); });
    fenced("SioUnGetc", [] { SioUnGetc(kPort, 0); });
    fenced("SioRxClear (empty)", [] { SioRxClear(kPort); });
    fenced("SioTxClear", [] { SioTxClear(kPort); });
    fenced("SioDTR('S')", [] { SioDTR(kPort, SIO_LINE_SET); });
    fenced("SioRTS('S')", [] { SioRTS(kPort, SIO_LINE_SET); });
    fenced("SioCTS", [] { SioCTS(kPort); });
    fenced("SioBaud(9600)", [] { SioBaud(kPort, SIO_BAUD9600); });
    fenced("SioParms", [] { SioParms(kPort, SIO_NO_PARITY, SIO_ONE_STOP_BIT, SIO_WORD_LENGTH8); });
    fenced("SioFlow('N')", [] { SioFlow(kPort, SIO_FLOW_NONE); });
    fenced("SioBrkSig('D')", [] { SioBrkSig(kPort, SIO_BREAK_DETECT); });
    fenced("SioWinError", [] { SioWinError(); });
    SioDone(kPort);
    velk_map_port(kPort, nullptr);
    return 0;
}
