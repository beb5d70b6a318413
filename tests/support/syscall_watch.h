// Counts system calls as the kernel sees them, for what no wrapper can see:
// the library makes some requests with the syscall instruction in place (the
// tty kind's FIONREAD on x86-64), past any function a test could wrap.
// SyscallWatch runs a piece of the test in a thread of its own under a
// seccomp filter that reports each watched call to the test's thread
// (seccomp's user notification), which counts it and lets it go on
// unchanged. The filter ends with that thread. Linux only (5.5 or later);
// where the system cannot report the calls (Valgrind and qemu-user do not
// implement the filter) run() says why and the test is skipped.
#ifndef VELK_TESTS_SUPPORT_SYSCALL_WATCH_H
#define VELK_TESTS_SUPPORT_SYSCALL_WATCH_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace velk {

// A system call to count: its number (SYS_read...) and, when it is not
// kAnyRequest, the request it makes (its second argument: FIONREAD).
struct WatchedCall {
    static constexpr unsigned long kAnyRequest = ~0ul;
    long number;
    unsigned long request = kAnyRequest;
};

class SyscallWatch {
public:
    explicit SyscallWatch(std::vector<WatchedCall> calls) : calls_(std::move(calls)), counts_(calls_.size()) {}

    // Runs fn in a new thread and counts the watched calls it makes. Returns
    // empty, or why the system cannot count them (fn has not run then).
    std::string run(const std::function<void()>& fn);

    // The calls of calls[i] the last run made.
    long count(std::size_t i) const { return counts_[i]; }

private:
    std::vector<WatchedCall> calls_;
    std::vector<long> counts_;
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_SYSCALL_WATCH_H
