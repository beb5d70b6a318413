// The recv() wrapper and the poll() observer behind socket_calls.h (the
// poll() wrapper itself is call_count.cpp's). Without the linker's --wrap
// nothing is counted and available() says so.
#include "support/socket_calls.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<int> watched{-1};
std::atomic<int> pollCount{0};
std::atomic<int> longestMs{0};
std::atomic<long> receivedBytes{0};
std::atomic<int> recvCount{0};
std::atomic<int> recvDelayUs{0};
}  // namespace

#if defined(VELK_LINKER_WRAP)
extern "C" ssize_t __real_recv(int fd, void* buf, size_t len, int flags);

// Called by the one poll() wrapper of the test binary (call_count.cpp).
void velk::socket_calls::notePoll(const struct pollfd* fds, unsigned long n, int timeout) {
    const int fd = watched.load();
    for (unsigned long i = 0; fd >= 0 && i < n; ++i) {
        if (fds[i].fd != fd) continue;
        ++pollCount;
        int seen = longestMs.load();  // -1 (no limit) is the longest
        while (seen >= 0 && (timeout < 0 || timeout > seen) && !longestMs.compare_exchange_weak(seen, timeout)) {
        }
        break;
    }
}

extern "C" ssize_t __wrap_recv(int fd, void* buf, size_t len, int flags) {
    const bool ours = fd >= 0 && fd == watched.load();
    if (ours && recvDelayUs.load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(recvDelayUs.load()));
    const ssize_t r = __real_recv(fd, buf, len, flags);
    if (ours) ++recvCount;
    if (ours && r > 0) receivedBytes += r;
    return r;
}
#endif

namespace velk {
namespace socket_calls {

bool available() {
#if defined(VELK_LINKER_WRAP)
    return true;
#else
    return false;
#endif
}

void watch(int fd) {
    watched = -1;
    pollCount = 0;
    longestMs = 0;
    receivedBytes = 0;
    recvCount = 0;
    recvDelayUs = 0;
    watched = fd;
}

int polls() { return pollCount; }
int longestPoll() { return longestMs; }
long received() { return receivedBytes; }
int recvs() { return recvCount; }
void slowRecv(int microseconds) { recvDelayUs = microseconds; }

}  // namespace socket_calls
}  // namespace velk
