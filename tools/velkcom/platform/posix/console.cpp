// The console for POSIX systems: raw terminal input through termios when
// standard input is a terminal, poll() for waiting on it, and handlers for
// SIGINT, SIGTERM and SIGHUP that only raise a flag, so that the terminal
// loop ends cleanly, closes the port and gives the terminal its settings back.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace velkcom {

namespace {
volatile sig_atomic_t quitFlag = 0;
bool rawActive = false;
struct termios savedTermios;
int lastError = 0;

extern "C" void onQuitSignal(int) {
    quitFlag = 1;
}
}  // namespace

bool consoleOpen() {
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
