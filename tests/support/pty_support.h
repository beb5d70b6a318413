// Helpers for tests of the POSIX backend over pseudo-terminals: a pty pair
// made with openpty whose master end the test drives as the far end of the
// line, a pair of ptys bridged by socat for two library ports to talk, bounded
// waits, and a count of the process's open descriptors.
#ifndef VELK_TESTS_SUPPORT_PTY_SUPPORT_H
#define VELK_TESTS_SUPPORT_PTY_SUPPORT_H

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace velk {

// Waits up to `limit` for cond(), checking every millisecond.
inline bool waitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The descriptors open in this process.
inline int openFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

// A pty pair. The slave's name is what the library opens; the test reads and
// writes the master as the device at the other end of the cable, and keeps
// its own slave descriptor for looking at the line state.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    Pty() {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed: errno " << errno;
            return;
        }
        path = name;
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        closeMaster();
        if (slave >= 0) close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void closeMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    // Writes all of data to the master, waiting while the line is full.
    bool send(const std::string& data) {
        std::size_t done = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
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
        char buf[4096];
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < n) {
            ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0) {
                got.append(buf, static_cast<std::size_t>(r));
                continue;
            }
            if (r < 0 && errno != EAGAIN && errno != EINTR) break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p = {master, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        }
        return got;
    }
};

// Two ptys bridged by socat: what is written to one slave comes out of the
// other. The slaves appear as symbolic links in a fresh directory.
struct SocatPair {
    pid_t pid = -1;
    std::string dir;
    std::string a;
    std::string b;

    SocatPair() {
        char tmpl[] = "/tmp/velk-socat-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
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
            ADD_FAILURE() << "fork failed";
            return;
        }
        struct stat st;
        bool ready = waitUntil([&] {
            return stat(a.c_str(), &st) == 0 && stat(b.c_str(), &st) == 0;
        });
        if (!ready) ADD_FAILURE() << "socat did not make its ptys (is the socat package installed?)";
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

#endif  // VELK_TESTS_SUPPORT_PTY_SUPPORT_H
