// Runs one library call in a second thread, for calls that block (a write held
// off by flow control) while the test thread releases them. Every wait is
// bounded: a test that expects the call to finish waits up to a limit and
// fails instead of hanging. If the call is still blocked when the object goes
// away, the unblock action given at construction runs first (for instance
// SioTxClear on the port, which aborts a held write), so a failing test never
// leaves a thread behind.
#ifndef VELK_TESTS_SUPPORT_ASYNC_CALL_H
#define VELK_TESTS_SUPPORT_ASYNC_CALL_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velk {

class AsyncCall {
public:
    AsyncCall(std::function<int()> call, std::function<void()> unblock)
        : unblock_(std::move(unblock)) {
        thread_ = std::thread([this, call = std::move(call)] {
            int r = call();
            std::lock_guard<std::mutex> lock(mu_);
            result_ = r;
            done_ = true;
            cv_.notify_all();
        });
    }

    ~AsyncCall() {
        if (!done()) unblock_();
        thread_.join();
    }

    AsyncCall(const AsyncCall&) = delete;
    AsyncCall& operator=(const AsyncCall&) = delete;

    bool done() const {
        std::lock_guard<std::mutex> lock(mu_);
        return done_;
    }

    // Waits up to timeout for the call to return; true when it has.
    bool waitDone(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, timeout, [this] { return done_; });
    }

    // The call's result; only meaningful once done.
    int result() const {
        std::lock_guard<std::mutex> lock(mu_);
        return result_;
    }

private:
    std::function<void()> unblock_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    int result_ = 0;
    std::thread thread_;
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_ASYNC_CALL_H
