// Counts the poll() calls made on one socket and the bytes recv() took from
// it, so that a test can tell a wait that slept from one that spun, and work
// that stayed bounded from work that did not, without looking at a clock;
// and keeps the longest time-out those polls asked for, so that it can tell
// how long a wait was meant to be; and can slow those reads down. Every
// poll() and recv() call in the test binary goes through a wrapper (linked
// with -Wl,--wrap=poll,--wrap=recv on Linux) that records
// the calls on the watched socket and then makes them as asked. Where the
// linker cannot wrap, available() is false and the tests that count say so
// in their skip.
#ifndef VELK_TESTS_SUPPORT_SOCKET_CALLS_H
#define VELK_TESTS_SUPPORT_SOCKET_CALLS_H

struct pollfd;

namespace velk {
namespace socket_calls {

// Whether the calls are counted in this build, and the reason a test that
// counts gives for its skip when they are not.
bool available();
constexpr const char* kUncounted = "socket calls cannot be counted here: the linker lacks --wrap";

// From now on, counts the calls on fd (-1 stops counting), from 0.
void watch(int fd);

// The poll() calls whose set held the watched socket since watch().
int polls();
// The longest time-out in milliseconds that they asked for (-1: one asked to
// wait without limit; 0 when there was none).
int longestPoll();
// The bytes recv() took from the watched socket since watch().
long received();
// The recv() calls made on the watched socket since watch(), whatever they
// returned.
int recvs();

// From now on each recv() on the watched socket first sleeps this long (0:
// not at all), so that a server can send faster than the library reads.
void slowRecv(int microseconds);

// What the test binary's poll() wrapper (support/call_count.cpp) reports of
// each call, before making it.
void notePoll(const struct pollfd* fds, unsigned long n, int timeout);

}  // namespace socket_calls
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_SOCKET_CALLS_H
