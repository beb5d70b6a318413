// The console for POSIX systems: raw terminal input through termios when
// standard input is a terminal, poll() for waiting on it and on a port
// together (velk_port_fd), and handlers for SIGINT, SIGTERM and SIGHUP that
// only raise a flag and write a byte to a pipe that every wait watches, so
// that a signal between the loop's look at the flag and its poll still wakes
// it, and the terminal loop ends cleanly, closes the port and gives the
// terminal its settings back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velkcom {

namespace {
volatile sig_atomic_t quitFlag = 0;
bool rawActive = false;
struct termios savedTermios;
int lastError = 0;

// The quit signal's pipe: written by the handler, watched by consoleWait.
int quitPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int) {
    quitFlag = 1;
    if (quitPipe[1] >= 0) {
        const int saved = errno;
        const char byte = 'q';
        (void)!write(quitPipe[1], &byte, 1);
        errno = saved;
    }
}
}  // namespace

bool consoleOpen() {
    if (quitPipe[0] < 0 && pipe(quitPipe) == 0) {
        for (int fd : quitPipe) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
    }
    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked poll returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed standard output shows as a failed write

    if (!isatty(STDIN_FILENO)) return false;
    if (tcgetattr(STDIN_FILENO, &savedTermios) != 0) return false;
    struct termios raw = savedTermios;
    // Every key goes to the port as typed: no echo, no line editing, no
    // signal keys, no flow-control keys, no CR to NL translation. Output
    // processing stays on, so that the screen shows the port's lines normally.
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) return false;
    rawActive = true;
    return true;
}

void consoleRestore() {
    if (rawActive) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTermios);
        rawActive = false;
    }
}

int consoleRead(unsigned char* buf, int size, int timeoutMs) {
    struct pollfd pfd {};
    pfd.fd = STDIN_FILENO;
    pfd.events = POLLIN;
    int ready = poll(&pfd, 1, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) return kConsoleTimeout;  // a signal: the caller checks quitRequested
        lastError = errno;
        return kConsoleError;
    }
    if (ready == 0) return kConsoleTimeout;
    ssize_t n = read(STDIN_FILENO, buf, static_cast<size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return kConsoleEof;
    if (errno == EINTR || errno == EAGAIN) return kConsoleTimeout;
    lastError = errno;
    return kConsoleError;
}

int consoleError() {
    return lastError;
}

int consoleWait(int port, bool input, int timeoutMs, int) {
    // The library's queues first (bytes it read ahead, a pushed-back byte, a
    // failure to report): the descriptor does not show them.
    const int queued = velk_wait(port, 0);
    const int fd = velk_port_fd(port);
    if (queued != 0 || fd < 0) timeoutMs = 0;  // a failure: the caller's read reports it
    struct pollfd p[3] = {{quitPipe[0], POLLIN, 0}, {input ? STDIN_FILENO : -1, POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = poll(p, 3, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0 && errno != EINTR) {
        lastError = errno;
        return kConsoleError;
    }
    int found = queued != 0 || fd < 0 ? kReadyPort : 0;
    if (ready > 0) {
        if (p[1].revents != 0) found |= kReadyInput;
        if (p[2].revents != 0) found |= kReadyPort;
    }
    return found;
}

bool consoleWrite(const unsigned char* buf, int n) {
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, buf, static_cast<size_t>(n));
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                struct pollfd pfd {};
                pfd.fd = STDOUT_FILENO;
                pfd.events = POLLOUT;
                poll(&pfd, 1, 100);
                continue;
            }
            lastError = errno;
            return false;
        }
        buf += w;
        n -= static_cast<int>(w);
    }
    return true;
}

int consoleColumns() {
    if (!isatty(STDOUT_FILENO)) return 0;
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return 80;
    return ws.ws_col;
}

bool quitRequested() {
    return quitFlag != 0;
}

void sleepMs(int ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace velkcom
