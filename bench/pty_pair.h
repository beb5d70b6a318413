// The stage every benchmark runs on: a pseudo-terminal pair whose slave end is
// the "serial port" (opened by the library through velk_map_port, or used
// directly by the raw system-call floor) and whose master end is the peer. A
// peer thread can keep the master end busy for the transfer cases: as a
// source it writes as fast as the slave end takes bytes, as a sink it reads
// everything the slave end sends. Each benchmark run makes a fresh pair, so
// no bytes are left over from one case to the next.
#ifndef VELK_BENCH_PTY_PAIR_H
#define VELK_BENCH_PTY_PAIR_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace velkbench {

class PtyPair {
public:
    PtyPair() {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::abort();
        }
        path_ = name;
        // The slave end in raw mode, as the library puts a port: no echo back
        // to the master, no line editing, no CR/LF translation.
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(slave_, TCSANOW, &t);
        setNonBlocking(master_);
    }
    ~PtyPair() {
        stopPeer();
        if (slave_ >= 0) close(slave_);
        close(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    // The slave descriptor openpty gave; kept open for the pair's whole life
    // so that the library's close never hangs the pair up.
    int slave() const { return slave_; }
    const char* path() const { return path_.c_str(); }

    static void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }
    static void setBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

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
            pollfd p{master_, static_cast<short>(source ? POLLOUT : POLLIN), 0};
            while (!stop_.load(std::memory_order_relaxed)) {
                ssize_t n = source ? write(master_, buf.data(), buf.size())
                                   : read(master_, buf.data(), buf.size());
                if (n > 0) continue;
                // Full (source) or empty (sink): wait, but look at the stop
                // flag at least every 20 ms.
                poll(&p, 1, 20);
            }
        });
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread peer_;
    std::atomic<bool> stop_{false};
};

}  // namespace velkbench

#endif  // VELK_BENCH_PTY_PAIR_H
