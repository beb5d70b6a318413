// Draining a tty port's receive queue costs no system call per byte: the
// reads and FIONREAD requests the library makes while a polling program
// empties a queue of a thousand bytes, counted as the kernel sees them
// (support/syscall_watch.h), since the status query makes its FIONREAD with
// the syscall instruction on x86-64, where no wrapper sees it. Built on
// Linux only.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <string>

#include "support/posix_pty_fixture.h"
#include "support/syscall_watch.h"

namespace velk {
namespace {

TEST_F(PosixPty, DrainingAQueueMakesNoReadOrFionreadPerByte) {
    openPty(0);
    const std::string data = pattern(1000);
    ASSERT_TRUE(pty.send(data));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 1000; }));
    std::string got;
    int left = -1;
    SyscallWatch watch({{SYS_read}, {SYS_ioctl, FIONREAD}});
    const std::string why = watch.run([&] {
        // As a polling program drains it: a byte at a time while the count
        // says there is one, then in pieces until none comes.
        while (got.size() < 500 && SioRxQue(0) > 0) got.push_back(static_cast<char>(SioGetc(0)));
        char buf[7];
        for (int n; (n = SioGets(0, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
        left = SioRxQue(0);
    });
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_TRUE(got == data) << got.size() << " bytes";
    EXPECT_EQ(left, 0);
    const long reads = watch.count(0), queries = watch.count(1);
    // The query of the empty queue at the end asks the kernel: the watch sees it.
    EXPECT_GE(queries, 1);
    EXPECT_LE(reads + queries, 6) << reads << " reads, " << queries << " FIONREAD";
}

}  // namespace
}  // namespace velk
