// The receive queue on its own: capacity bounds, the producer's regions, and
// order kept across the ring's end under every mix of operations.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "device/rx_queue.h"

namespace velk {
namespace {

TEST(RxQueue, CapacityFollowsTheAskedSizeWithinBounds) {
    EXPECT_EQ(RxQueue::capacityFor(0), 4096u);
    EXPECT_EQ(RxQueue::capacityFor(4096), 4096u);
    EXPECT_EQ(RxQueue::capacityFor(4097), 8192u);
    EXPECT_EQ(RxQueue::capacityFor(1u << 20), 1u << 20);
    EXPECT_EQ(RxQueue::capacityFor(0xFFFFFFFFu), 1u << 20);

    RxQueue q;
    EXPECT_EQ(q.capacity(), 0u);
    EXPECT_EQ(q.writable().size, 0u);  // no storage: nothing can be taken in
    EXPECT_EQ(q.push("x", 1), 0u);
    ASSERT_TRUE(q.reset(10000));
    EXPECT_EQ(q.capacity(), 16384u);
    EXPECT_EQ(q.push("abc", 3), 3u);
    ASSERT_TRUE(q.reset(5000));  // same capacity: emptied, storage kept
    EXPECT_TRUE(q.empty());
    ASSERT_TRUE(q.reset(100));
    EXPECT_EQ(q.capacity(), 4096u);
    EXPECT_EQ(q.space(), 4096u);
    q.release();
    EXPECT_EQ(q.capacity(), 0u);
    EXPECT_EQ(q.popByte(), -1);
}

TEST(RxQueue, FullQueueTakesNothingMoreAndLosesNothing) {
    RxQueue q;
    ASSERT_TRUE(q.reset(0));
    std::vector<std::uint8_t> in(5000);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(q.push(in.data(), 5000), 4096u);
    EXPECT_TRUE(q.full());
    EXPECT_EQ(q.writable().size, 0u);
    EXPECT_EQ(q.push(in.data(), 1), 0u);

    // Three bytes out make room for exactly three, at the front of the
    // storage (the region wraps).
    std::uint8_t out[3];
    EXPECT_EQ(q.pop(out, 3), 3u);
    EXPECT_EQ(std::memcmp(out, in.data(), 3), 0);
    RxQueue::Region r = q.writable();
    ASSERT_EQ(r.size, 3u);
    std::memcpy(r.data, &in[4096], 3);
    q.commit(3);
    std::vector<std::uint8_t> all(5000);
    EXPECT_EQ(q.pop(all.data(), 5000), 4096u);
    EXPECT_EQ(std::memcmp(all.data(), &in[3], 4096), 0);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.writable().size, 4096u);  // empty: the whole storage at once
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
