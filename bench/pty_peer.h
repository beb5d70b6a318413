// The benchmarks' peer over the tests' pseudo-terminal pair
// (tests/support/pty_pair.h): the slave end, made raw, is the "serial port"
// (opened by the library through velk_map_port, or used directly by the raw
// system-call floor) and the master end is the peer. A peer thread can keep
// the master end busy for the transfer cases: as a source it writes as fast
// as the slave end takes bytes, as a sink it reads everything the slave end
// sends. Each benchmark run makes a fresh pair, so no bytes are left over
// from one case to the next.
#ifndef VELK_BENCH_PTY_PEER_H
#define VELK_BENCH_PTY_PEER_H

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace velkbench {

class PtyPeer {
public:
    PtyPeer() {
        if (pty_.path.empty()) {
            std::perror("openpty");
            std::abort();
        }
        // The slave end in raw mode, as the library puts a port: no echo back
        // to the master, no line editing, no CR/LF translation.
        termios t{};
        tcgetattr(pty_.slave, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(pty_.slave, TCSANOW, &t);
    }
    ~PtyPeer() { stopPeer(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    int master() const { return pty_.master; }
    // The slave descriptor openpty gave; kept open for the pair's whole life
    // so that the library's close never hangs the pair up.
    int slave() const { return pty_.slave; }
    const char* path() const { return pty_.path.c_str(); }

    static void setNonBlocking(int fd) { velk::Pty::setBlocking(fd, false); }
    static void setBlocking(int fd) { velk::Pty::setBlocking(fd, true); }

    // Starts the peer writing an endless stream into the master end.
    void startSource() { startPeer(true); }
    // Starts the peer reading and discarding everything from the master end.
    void startSink() { startPeer(false); }

    void stopPeer() {
        if (!peer_.joinable()) return;
        stop_.store(true);
        peer_.join();
        stop_.store(false);
    }

private:
    void startPeer(bool source) {
        stopPeer();
        peer_ = std::thread([this, source] {
            std::vector<char> buf(65536, 'x');
            pollfd p{pty_.master, static_cast<short>(source ? POLLOUT : POLLIN), 0};
            while (!stop_.load(std::memory_order_relaxed)) {
                ssize_t n = source ? write(pty_.master, buf.data(), buf.size())
                                   : read(pty_.master, buf.data(), buf.size());
                if (n > 0) continue;
                // Full (source) or empty (sink): wait, but look at the stop
                // flag at least every 20 ms.
                poll(&p, 1, 20);
            }
        });
    }

    velk::Pty pty_;
    std::thread peer_;
    std::atomic<bool> stop_{false};
};

}  // namespace velkbench

#endif  // VELK_BENCH_PTY_PEER_H
