// The receive queue on its own: capacity bounds, and order and counts kept
// across the ring's end and at full under every mix of operations.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "device/common/rx_queue.h"

namespace velk {
namespace {

TEST(RxQueue, CapacityFollowsTheAskedSizeWithinBounds) {
    EXPECT_EQ(RxQueue::capacityFor(0), 4096u);
    EXPECT_EQ(RxQueue::capacityFor(4097), 8192u);
    EXPECT_EQ(RxQueue::capacityFor(0xFFFFFFFFu), 1u << 20);
    RxQueue q;
    EXPECT_EQ(q.push("x", 1), 0u);  // no storage yet: nothing taken in
    ASSERT_TRUE(q.reset(10000));
    EXPECT_EQ(q.capacity(), 16384u);
    EXPECT_EQ(q.push("abc", 3), 3u);
    ASSERT_TRUE(q.reset(100));  // emptied, smaller
    EXPECT_EQ(q.space(), 4096u);
}

// Random sequences of commits through the region, pushes, pops, byte pops and
// clears, against a plain deque: the same bytes in the same order and the same
// counts at every step.
TEST(RxQueue, KeepsOrderAcrossTheRingEnd) {
    std::mt19937 rng(2024);
    RxQueue q;
    ASSERT_TRUE(q.reset(4096));
    std::deque<std::uint8_t> model;
    // The bytes are a random stream, so that no byte's value follows from its
    // place in the ring.
    std::minstd_rand bytes(7);
    auto next = [&] { return static_cast<std::uint8_t>(bytes() >> 8); };
    std::vector<std::uint8_t> buf(3 * 4096);
    for (int step = 0; step < 20000; ++step) {
        const auto n = static_cast<std::uint32_t>(rng() % 3000);
        switch (rng() % 9) {
        case 0:
        case 1: {
            RxQueue::Region r = q.writable();
            ASSERT_EQ(r.size == 0, q.full());
            if (q.empty()) {
                ASSERT_EQ(r.size, 4096u);  // in one piece
            }
            const std::uint32_t k = r.size < n ? r.size : n;
            for (std::uint32_t i = 0; i < k; ++i) model.push_back(r.data[i] = next());
            q.commit(k);
            break;
        }
        case 2:
        case 3: {
            for (std::uint32_t i = 0; i < n; ++i) buf[i] = next();
            const std::uint32_t took = q.push(buf.data(), n);
            ASSERT_EQ(took, std::min<std::size_t>(n, 4096 - model.size()));
            model.insert(model.end(), buf.begin(), buf.begin() + took);
            break;
        }
        case 4:
        case 5: {
            const std::uint32_t got = q.pop(buf.data(), n);
            ASSERT_EQ(got, std::min<std::size_t>(n, model.size()));
            for (std::uint32_t i = 0; i < got; ++i, model.pop_front()) ASSERT_EQ(buf[i], model.front());
            break;
        }
        case 6:
        case 7:
            for (std::uint32_t i = 0; i < n % 40; ++i) {
                const int c = q.popByte();
                if (model.empty()) {
                    ASSERT_EQ(c, -1);
                } else {
                    ASSERT_EQ(c, model.front());
                    model.pop_front();
                }
            }
            break;
        default:
            if (rng() % 4 == 0) {
                q.clear();
                model.clear();
            }
        }
        ASSERT_EQ(q.size(), model.size());
        ASSERT_EQ(q.space(), 4096 - model.size());
        ASSERT_EQ(q.empty(), model.empty());
    }
}

}  // namespace
}  // namespace velk
