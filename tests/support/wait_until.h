// A bounded wait for the tests, the benchmarks' helpers and the test peers:
// checks a condition every millisecond until it holds or the limit passes.
// Plain C++, no GoogleTest.
#ifndef VELK_TESTS_SUPPORT_WAIT_UNTIL_H
#define VELK_TESTS_SUPPORT_WAIT_UNTIL_H

#include <chrono>
#include <functional>
#include <thread>

namespace velk {

// Waits up to `limit` for cond(); whether it held at the end.
inline bool waitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_WAIT_UNTIL_H
