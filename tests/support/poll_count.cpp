// The poll() wrapper behind poll_count.h.
#include "support/poll_count.h"

#include <poll.h>

extern "C" int __real_poll(struct pollfd* fds, nfds_t n, int timeout);

namespace {
thread_local long pollCalls = 0;
}  // namespace

extern "C" int __wrap_poll(struct pollfd* fds, nfds_t n, int timeout) {
    ++pollCalls;
    return __real_poll(fds, n, timeout);
}

namespace velk {
namespace poll_count {

long calls() {
    return pollCalls;
}

}  // namespace poll_count
}  // namespace velk
