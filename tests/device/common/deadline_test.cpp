// The tty's read and write time-out rules as pure functions: how long a read
// or write may still wait for each shape of COMMTIMEOUTS.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "device/common/deadline.h"

namespace velk {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

COMMTIMEOUTS timeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    return COMMTIMEOUTS{interval, multiplier, constant, 0, 0};
}

TEST(PosixDeadline, ReadWaits) {
    struct Case {
        COMMTIMEOUTS t;
        DWORD n, count;
        std::int64_t elapsed, sinceByte, want;
        const char* what;
    };
    const Case cases[] = {
        {timeouts(0, 0, 0), 10, 0, 5000, 5000, kNoLimit, "all zero: until all n have come"},
        {timeouts(MAXDWORD, 0, 0), 10, 0, 0, 0, 0, "interval MAXDWORD alone: never waits"},
        {timeouts(MAXDWORD, MAXDWORD, 200), 10, 0, 50, 50, 150, "first byte within the constant"},
        {timeouts(MAXDWORD, MAXDWORD, 200), 10, 0, 200, 200, 0, "constant spent"},
        {timeouts(MAXDWORD, 0, 100), 10, 0, 30, 30, 70, "any byte, bounded by the total"},
        {timeouts(0, 10, 100), 10, 3, 50, 20, 150, "total: multiplier * n + constant"},
        {timeouts(0, 10, 100), 10, 3, 200, 20, 0, "total spent"},
        {timeouts(20, 0, 0), 10, 0, 500, 500, kNoLimit, "interval runs from the first byte"},
        {timeouts(20, 0, 0), 10, 2, 500, 5, 15, "interval after a byte"},
        {timeouts(20, 0, 0), 10, 2, 500, 20, 0, "interval spent"},
        {timeouts(20, 0, 1000), 10, 2, 990, 5, 10, "the nearer of total and interval"},
        {timeouts(0, MAXDWORD, MAXDWORD), MAXDWORD, 0, 0, 0, kMax, "held at the largest bound"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readWaitMs(c.t, c.n, c.count, c.elapsed, c.sinceByte), c.want) << c.what;
    }
}

TEST(PosixDeadline, WriteTotals) {
    EXPECT_EQ(writeTotalMs(COMMTIMEOUTS{}, 100), kNoLimit);
    EXPECT_EQ(writeTotalMs(COMMTIMEOUTS{0, 0, 0, 2, 0}, 100), 200);
    EXPECT_EQ(writeTotalMs(COMMTIMEOUTS{0, 0, 0, 0, 50}, 100), 50);
    EXPECT_EQ(writeTotalMs(COMMTIMEOUTS{0, 0, 0, 2, 50}, 100), 250);
    EXPECT_EQ(writeTotalMs(COMMTIMEOUTS{0, 0, 0, MAXDWORD, MAXDWORD}, MAXDWORD), kMax);
}

// A close waits while the queue falls, however slowly, and gives up once it
// has stood still for the stall time: a second, longer at very low rates.
TEST(PosixDeadline, CloseWaitsWhileOutputDrains) {
    EXPECT_EQ(DrainWatch::stallMs(9600), 1000);
    EXPECT_EQ(DrainWatch::stallMs(110), 1000);
    EXPECT_EQ(DrainWatch::stallMs(50), 2000);
    EXPECT_EQ(DrainWatch::stallMs(0), 100000);

    // 4 KiB at 9600 baud: a few bytes every step, over four seconds.
    DrainWatch slow(9600, 0, 4096);
    int queued = 4096;
    std::int64_t t = 0;
    while (queued > 0) {
        t += 20;
        queued -= 19;
        ASSERT_TRUE(slow.keepWaiting(t, queued > 0 ? queued : 0) || queued <= 0) << t;
    }
    EXPECT_GT(t, 4000);

    // Held: the queue stays, and the close gives up after the stall time,
    // counted from the last drop.
    DrainWatch held(9600, 0, 2000);
    EXPECT_TRUE(held.keepWaiting(500, 1990));
    EXPECT_TRUE(held.keepWaiting(1400, 1990));
    EXPECT_TRUE(held.keepWaiting(1499, 1995));  // a rise is no progress
    EXPECT_FALSE(held.keepWaiting(1500, 1990));
    EXPECT_FALSE(DrainWatch(9600, 0, 10).keepWaiting(20, 0));
}

}  // namespace
}  // namespace velk
