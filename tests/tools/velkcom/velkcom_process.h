// The velkcom program run as a user runs it, for the command tests: a child
// process with pipes on its standard streams (or a terminal given in their
// place), a run to the end with no input, and a pty pair whose master end
// plays the device at the far end of the line. Every wait is bounded; a child
// still running at the end is killed.
#ifndef VELKCOM_TESTS_VELKCOM_PROCESS_H
#define VELKCOM_TESTS_VELKCOM_PROCESS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support/pty_pair.h"

namespace velkcom_test {

using Clock = std::chrono::steady_clock;

// A velkcom process with pipes on its standard input, output and error.
class Child {
public:
    // With stdinFd (stdoutFd), standard input (output) is that file or
    // terminal instead of a pipe.
    explicit Child(const std::vector<std::string>& args, int stdinFd = -1, int stdoutFd = -1) {
        int in[2], outPipe[2], errPipe[2];
        if (pipe(in) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(stdinFd >= 0 ? stdinFd : in[0], 0);
            dup2(stdoutFd >= 0 ? stdoutFd : outPipe[1], 1);
            dup2(errPipe[1], 2);
            for (int fd : {in[0], in[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
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
        close(outPipe[1]);
        close(errPipe[1]);
        stdin_ = in[1];
        stdout_ = outPipe[0];
        stderr_ = errPipe[0];
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
    pid_t pid() const { return pid_; }

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

// The system calls the process makes over the next `ms` milliseconds, as
// strace attached to it counts them (a wait that sleeps makes one per
// wake-up; a polling loop several per turn; a spin without end); -1 when
// strace cannot be run or attach here.
inline long syscallsDuring(pid_t pid, int ms) {
    char path[] = "/tmp/velkcom-strace-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    close(fd);
    const std::string target = std::to_string(pid);
    const pid_t tracer = fork();
    if (tracer == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execlp("strace", "strace", "-qq", "-c", "-o", path, "-p", target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(static_cast<useconds_t>(ms) * 1000);
    kill(tracer, SIGINT);
    int status = 0;
    waitpid(tracer, &status, 0);
    // Interrupted after attaching, strace ends with 128 + SIGINT and a table
    // (none when no call was made); a failure to start or attach is another
    // status.
    const bool traced = (WIFEXITED(status) && (WEXITSTATUS(status) == 128 + SIGINT || WEXITSTATUS(status) == 0)) ||
                        (WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    long calls = traced ? 0 : -1;
    if (FILE* f = traced ? fopen(path, "r") : nullptr) {
        char line[256];
        while (fgets(line, sizeof line, f) != nullptr) {
            long n = 0;
            char word[16] = "";
            // "100.00    0.000123    4    37    2 total" (errors column optional)
            if (std::strstr(line, " total") != nullptr &&
                (sscanf(line, "%*f %*f %*d %ld %*d %15s", &n, word) == 2 ||
                 sscanf(line, "%*f %*f %*d %ld %15s", &n, word) == 2) &&
                std::strcmp(word, "total") == 0) {
                calls = n;
            }
        }
        fclose(f);
    }
    unlink(path);
    return calls;
}

// Runs velkcom to the end with no input.
struct Result {
    int status;
    std::string out, err;
};
inline Result run(const std::vector<std::string>& args, int ms = 30000) {
    Child c(args);
    EXPECT_TRUE(c.started());
    int status = c.finish(ms);
    return {status, c.out, c.err};
}

// The tests' pty pair (support/pty_pair.h) whose master end is the peer of
// the port opened on the slave, here with a blocking master (an echoing peer
// waits for room) and the slave's path as name.
struct Pty : velk::Pty {
    Pty() : name(path.c_str()) {
        EXPECT_FALSE(path.empty()) << "openpty: " << std::strerror(errno);
        if (master >= 0) setBlocking(master, true);
    }
    // Reads from the master until it has seen want or ms have passed.
    bool readUntil(std::string& got, const std::string& want, int ms) {
        return receiveUntil(got, want, std::chrono::milliseconds(ms));
    }
    const char* name;
};

}  // namespace velkcom_test

#endif  // VELKCOM_TESTS_VELKCOM_PROCESS_H
