// One pseudo-terminal pair made with openpty, the stage of every test and
// benchmark that needs a serial line without hardware: the slave's path is
// what a port opens (through velk_map_port or directly); the master end is the
// device at the far end of the cable, driven by the test. The master is
// non-blocking, both ends close-on-exec; the pair keeps its own slave
// descriptor for the whole of its life, so that a port's close never hangs
// the line up and the test can look at the line state. Plain C++ with no
// GoogleTest, for the tests, the programs' tests and the benchmarks alike.
#ifndef VELK_TESTS_SUPPORT_PTY_PAIR_H
#define VELK_TESTS_SUPPORT_PTY_PAIR_H

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>

#include "support/openpty.h"

namespace velk {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;  // empty when openpty failed

    Pty() {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        path = name;
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        setBlocking(master, false);
    }
    ~Pty() {
        closeMaster();
        if (slave >= 0) close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    static void setBlocking(int fd, bool blocking) {
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
    }

    // Closing the master hangs the line up.
    void closeMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    // Writes all of data to the master, waiting while the line is full.
    bool send(const std::string& data, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::size_t done = 0;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (done < data.size()) {
            ssize_t r = write(master, data.data() + done, data.size() - done);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
                continue;
            }
            if (r < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= end) return false;
            pollfd p = {master, POLLOUT, 0};
            poll(&p, 1, 100);
        }
        return true;
    }

    // Reads from the master until n bytes have come or `limit` has passed.
    std::string receive(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::string got;
        readUntil(got, [&] { return got.size() >= n; }, limit, n);
        return got;
    }

    // Reads from the master into got until it holds want or `limit` has
    // passed; true when it does.
    bool receiveUntil(std::string& got, const std::string& want, std::chrono::milliseconds limit) {
        return readUntil(got, [&] { return got.find(want) != std::string::npos; }, limit, std::string::npos);
    }

private:
    // Polls before each read, so the master may be blocking or not.
    template <class Done>
    bool readUntil(std::string& got, Done done, std::chrono::milliseconds limit, std::size_t most) {
        char buf[4096];
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p = {master, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            const std::size_t room = most == std::string::npos ? sizeof buf : std::min(sizeof buf, most - got.size());
            const ssize_t r = read(master, buf, room);
            if (r > 0) {
                got.append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;  // hung up
            }
        }
        return done();
    }
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_PTY_PAIR_H
