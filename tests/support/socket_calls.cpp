// The poll() and recv() wrappers behind socket_calls.h. Without the linker's
// --wrap nothing is counted and available() says so.
#include "support/socket_calls.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<int> watched{-1};
std::atomic<int> pollCount{0};
std::atomic<long> receivedBytes{0};
std::atomic<int> longestMs{0};
std::atomic<int> recvDelayUs{0};
}  // namespace

#if defined(VELK_LINKER_WRAP)
extern "C" int __real_poll(struct pollfd* fds, nfds_t n, int timeout);
extern "C" ssize_t __real_recv(int fd, void* buf, size_t len, int flags);

namespace {
void keepLongest(int timeout) {
    int seen = longestMs.load(std::memory_order_relaxed);
    while (seen >= 0 && (timeout < 0 || timeout > seen) &&
           !longestMs.compare_exchange_weak(seen, timeout, std::memory_order_relaxed)) {
    }
}
}  // namespace

extern "C" int __wrap_poll(struct pollfd* fds, nfds_t n, int timeout) {
    const int fd = watched.load(std::memory_order_relaxed);
    for (nfds_t i = 0; fd >= 0 && i < n; ++i) {
        if (fds[i].fd == fd) {
            pollCount.fetch_add(1, std::memory_order_relaxed);
            keepLongest(timeout);
            break;
        }
    }
    return __real_poll(fds, n, timeout);
}

extern "C" ssize_t __wrap_recv(int fd, void* buf, size_t len, int flags) {
    const bool ours = fd >= 0 && fd == watched.load(std::memory_order_relaxed);
    const int delay = recvDelayUs.load(std::memory_order_relaxed);
    if (ours && delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
    const ssize_t r = __real_recv(fd, buf, len, flags);
    if (ours && r > 0) receivedBytes.fetch_add(r, std::memory_order_relaxed);
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
    watched.store(-1, std::memory_order_relaxed);
    pollCount.store(0, std::memory_order_relaxed);
    receivedBytes.store(0, std::memory_order_relaxed);
    longestMs.store(0, std::memory_order_relaxed);
    recvDelayUs.store(0, std::memory_order_relaxed);
    watched.store(fd, std::memory_order_relaxed);
}

int polls() {
    return pollCount.load(std::memory_order_relaxed);
}

int longestPoll() {
    return longestMs.load(std::memory_order_relaxed);
}

long received() {
    return receivedBytes.load(std::memory_order_relaxed);
}

void slowRecv(int microseconds) {
    recvDelayUs.store(microseconds, std::memory_order_relaxed);
}

}  // namespace socket_calls
}  // namespace velk
