#pragma once
// A counting semaphore with the dispatch semaphore's answers: wait gives 0
// when it took a unit and non-zero when the timeout passed first.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class Semaphore {
public:
    // A negative starting value is logged and taken as 0.
    static std::shared_ptr<Semaphore> create(long value = 0);

    Semaphore(const Semaphore &) = delete;
    Semaphore &operator=(const Semaphore &) = delete;

    void signal();

    // Takes one unit, waiting at most the timeout (seconds from now; kForever
    // to wait without limit). Answers 0 on success, non-zero on timeout.
    long wait(double timeoutSeconds = kForever);
    long wait(std::chrono::nanoseconds timeout);

private:
    explicit Semaphore(long value) : value_(value) {}
    long waitUntil(const std::optional<Clock::time_point> &deadline);

    std::mutex mutex_;
    std::condition_variable available_;
    long value_;
};

}  // namespace platform::dispatch
