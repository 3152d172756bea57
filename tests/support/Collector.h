#pragma once
// Collects values that other threads deliver (completions, callbacks) and
// waits, with a bound, until enough have come.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace testsupport {

constexpr double kPatience = 10.0;  // seconds: a bound, never a delay

template <typename T>
class Collector {
public:
    void add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    bool waitFor(size_t count, double seconds = kPatience) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return values_.size() >= count; });
    }
    std::vector<T> values() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace testsupport
