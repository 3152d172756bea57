#pragma once
// Waiting helpers for the dispatch tests, built on the standard library alone
// so they do not depend on the code under test.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace dispatchtests {

constexpr double kPatience = 10.0;  // seconds: a bound, never a delay

// A counter that threads can wait on.
class Counter {
public:
    void add(int n = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ += n;
        changed_.notify_all();
    }
    int value() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    // Waits until the value reaches `target`; answers whether it did in time.
    bool waitFor(int target, double seconds = kPatience) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return value_ >= target; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int value_ = 0;
};

// A gate that blocks threads until it is opened.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool pass(double seconds = kPatience) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

}  // namespace dispatchtests
