// The pseudo-terminals of every test and benchmark that needs a serial line
// without hardware, in plain C++ with no GoogleTest (for the tests, the
// programs' tests and the benchmarks alike):
// - sendTo and receiveFrom, bounded writes and reads on a non-blocking end;
// - Pty, one pair made with openpty: the slave's path is what a port opens
//   (through velk_map_port or directly); the master end is the device at the
//   far end of the cable, driven by the test. The master is non-blocking,
//   both ends close-on-exec; the pair keeps its own slave descriptor for the
//   whole of its life, so that a port's close never hangs the line up and
//   the test can look at the line state.
// - SocatPair, two ptys bridged by socat, for two ports to talk to each other.
#ifndef VELK_TESTS_SUPPORT_PTY_PAIR_H
#define VELK_TESTS_SUPPORT_PTY_PAIR_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "support/openpty.h"
#include "support/wait_until.h"

namespace velk {

// Writes all of data to fd (a pty's master, or a far end the test holds),
// waiting while it takes nothing; false on a failure, or when `limit` passes
// first.
inline bool sendTo(int fd, const std::string& data, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (done < data.size()) {
        ssize_t r = write(fd, data.data() + done, data.size() - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= end) return false;
        pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return true;
}

// Reads from fd into got, at most `most` bytes in all, until done() or
// `limit` has passed or fd hangs up; whether done() holds. Polls before each
// read, so fd may be blocking or not.
template <class Done>
bool receiveFrom(int fd, std::string& got, Done done, std::chrono::milliseconds limit,
                 std::size_t most = std::string::npos) {
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const std::size_t room = most == std::string::npos ? sizeof buf : std::min(sizeof buf, most - got.size());
        const ssize_t r = read(fd, buf, room);
        if (r > 0) {
            got.append(buf, static_cast<std::size_t>(r));
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;  // hung up
        }
    }
    return done();
}

// Reads from fd until n bytes have come or `limit` has passed.
inline std::string receiveFrom(int fd, std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::string got;
    receiveFrom(fd, got, [&] { return got.size() >= n; }, limit, n);
    return got;
}

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
        return sendTo(master, data, limit);
    }

    // Reads from the master until n bytes have come or `limit` has passed.
    std::string receive(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return receiveFrom(master, n, limit);
    }

    // Reads from the master into got until it holds want or `limit` has
    // passed; true when it does.
    bool receiveUntil(std::string& got, const std::string& want, std::chrono::milliseconds limit) {
        return receiveFrom(master, got, [&] { return got.find(want) != std::string::npos; }, limit);
    }
};

// Two ptys bridged by socat: what is written to one slave comes out of the
// other. The slaves appear as symbolic links in a fresh directory. When
// something fails, ok() is false and error says what.
struct SocatPair {
    pid_t pid = -1;
    std::string dir;
    std::string a;
    std::string b;
    std::string error;

    SocatPair() {
        char tmpl[] = "/tmp/velk-socat-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            error = "mkdtemp failed";
            return;
        }
        dir = tmpl;
        a = dir + "/a";
        b = dir + "/b";
        const std::string left = "pty,rawer,link=" + a;
        const std::string right = "pty,rawer,link=" + b;
        pid = fork();
        if (pid == 0) {
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);
            execlp("socat", "socat", left.c_str(), right.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0) {
            error = "fork failed";
            return;
        }
        struct stat st;
        if (!waitUntil([&] { return stat(a.c_str(), &st) == 0 && stat(b.c_str(), &st) == 0; })) {
            error = "socat did not make its ptys (is the socat package installed?)";
        }
    }
    ~SocatPair() { stop(); }
    SocatPair(const SocatPair&) = delete;
    SocatPair& operator=(const SocatPair&) = delete;

    bool ok() const { return pid > 0 && access(a.c_str(), F_OK) == 0 && access(b.c_str(), F_OK) == 0; }

    // Ends socat, which closes both masters: the slaves hang up.
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (!dir.empty()) {
            unlink(a.c_str());
            unlink(b.c_str());
            rmdir(dir.c_str());
            dir.clear();
        }
    }
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_PTY_PAIR_H
