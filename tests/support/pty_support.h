// Helpers for tests of the POSIX backend over pseudo-terminals: the pty pair
// of support/pty_pair.h whose master end the test drives as the far end of
// the line, a pair of ptys bridged by socat for two library ports to talk,
// bounded waits, and a count of the process's open descriptors.
#ifndef VELK_TESTS_SUPPORT_PTY_SUPPORT_H
#define VELK_TESTS_SUPPORT_PTY_SUPPORT_H

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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

#include "support/pty_pair.h"

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
