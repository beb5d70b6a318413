// Counts the poll() calls a thread makes, the library's included: every
// poll() of the test binary goes through a wrapper (linked with
// -Wl,--wrap=poll where the linker has it, VELK_LINKER_WRAP) that counts the
// calls of the calling thread and then makes the real one. A wait that
// sleeps makes one call per wake-up; one that spins makes thousands. The
// count is per thread, so the peers' own threads (a scripted server, a
// writer) do not add to it.
#ifndef VELK_TESTS_SUPPORT_POLL_COUNT_H
#define VELK_TESTS_SUPPORT_POLL_COUNT_H

namespace velk {
namespace poll_count {

// poll() calls made by this thread since it started.
long calls();

}  // namespace poll_count
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_POLL_COUNT_H
