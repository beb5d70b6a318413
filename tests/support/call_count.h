// Counts of the system calls for data and waiting that the test binary's own
// code makes, the library's included: every read(), write(), poll() and
// tcflush() call of the objects linked into the binary goes through a
// wrapper (-Wl,--wrap=read,--wrap=write,--wrap=poll,--wrap=tcflush on
// Linux, as support/ioctl_fault.h wraps ioctl) that counts it, for the
// calling thread and for the whole process, and passes it on unchanged.
//
// A test proves that a call did not spin or did not wait by counting: the
// polls a wait made, whether any of them could sleep (a time-out other than
// 0), the reads a drain made, whether a close flushed its output. Counting
// holds on a busy machine and under Valgrind, where a stopwatch does not.
// Take a Since before the calls and read it after; in the calling thread it
// sees only that thread's calls, so the test's own helper threads (a peer
// writing into a pty) do not add to it.
//
// Not counted: calls made inside the C library itself (stdio, tcgetattr)
// and system calls made without these functions (the FIONREAD the tty kind
// makes with the syscall instruction on x86-64; support/syscall_watch.h
// counts those). Built where the linker has --wrap (VELK_LINKER_WRAP).
#ifndef VELK_TESTS_SUPPORT_CALL_COUNT_H
#define VELK_TESTS_SUPPORT_CALL_COUNT_H

namespace velk {
namespace call_count {

enum class Call {
    Read,
    Write,
    Poll,
    PollWait,     // a poll whose time-out is not 0: one that may sleep
    FlushOutput,  // tcflush of the output queue (TCOFLUSH or TCIOFLUSH)
    Count
};

#if defined(VELK_LINKER_WRAP)
constexpr bool kCounting = true;
// Calls of c made so far by the calling thread, or by every thread.
long inThisThread(Call c);
long inAllThreads(Call c);
#else
// Without --wrap nothing is counted: a test that needs a count is skipped.
constexpr bool kCounting = false;
inline long inThisThread(Call) {
    return 0;
}
inline long inAllThreads(Call) {
    return 0;
}
#endif
constexpr const char* kNotCounting = "the linker has no --wrap here: the system calls cannot be counted";

// The calls made from its construction on, by the thread that constructs
// it (or, with allThreads, by every thread).
class Since {
public:
    explicit Since(bool allThreads = false) : all_(allThreads) {
        for (int i = 0; i < static_cast<int>(Call::Count); ++i) start_[i] = now(static_cast<Call>(i));
    }
    long operator()(Call c) const { return now(c) - start_[static_cast<int>(c)]; }

private:
    long now(Call c) const { return all_ ? inAllThreads(c) : inThisThread(c); }
    bool all_;
    long start_[static_cast<int>(Call::Count)];
};

}  // namespace call_count
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_CALL_COUNT_H
