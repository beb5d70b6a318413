// The read(), write(), poll() and tcflush() wrappers behind call_count.h;
// the one poll() wrapper of the test binary, which also tells
// socket_calls.h what it sees.
#include "support/call_count.h"

#include "support/socket_calls.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_poll(struct pollfd* fds, nfds_t n, int timeout);
int __real_tcflush(int fd, int queue);
}

namespace {

constexpr int kCalls = static_cast<int>(velk::call_count::Call::Count);
thread_local long threadCounts[kCalls];
std::atomic<long> processCounts[kCalls];

void add(velk::call_count::Call c) {
    ++threadCounts[static_cast<int>(c)];
    processCounts[static_cast<int>(c)].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    add(velk::call_count::Call::Read);
    return __real_read(fd, buf, n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    add(velk::call_count::Call::Write);
    return __real_write(fd, buf, n);
}

int __wrap_poll(struct pollfd* fds, nfds_t n, int timeout) {
    velk::socket_calls::notePoll(fds, n, timeout);
    add(velk::call_count::Call::Poll);
    if (timeout != 0) add(velk::call_count::Call::PollWait);
    return __real_poll(fds, n, timeout);
}

int __wrap_tcflush(int fd, int queue) {
    if (queue == TCOFLUSH || queue == TCIOFLUSH) add(velk::call_count::Call::FlushOutput);
    return __real_tcflush(fd, queue);
}

}  // extern "C"

namespace velk {
namespace call_count {

long inThisThread(Call c) {
    return threadCounts[static_cast<int>(c)];
}

long inAllThreads(Call c) {
    return processCounts[static_cast<int>(c)].load(std::memory_order_relaxed);
}

}  // namespace call_count
}  // namespace velk
