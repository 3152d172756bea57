#include "platform/dispatch/Semaphore.h"

#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

std::shared_ptr<Semaphore> Semaphore::create(long value) {
    if (value < 0) {
        SystemLog::write("[dispatch] Semaphore::create with a negative value " + std::to_string(value) +
                         "; starting at 0");
        value = 0;
    }
    return std::shared_ptr<Semaphore>(new Semaphore(value));
}

void Semaphore::signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++value_;
    available_.notify_one();
}

long Semaphore::wait(double timeoutSeconds) { return waitUntil(deadlineAfter(timeoutSeconds)); }

long Semaphore::wait(std::chrono::nanoseconds timeout) { return waitUntil(deadlineAfter(timeout)); }

long Semaphore::waitUntil(const std::optional<Clock::time_point> &deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto available = [this] { return value_ > 0; };
    if (!deadline) {
        available_.wait(lock, available);
    } else if (!available_.wait_until(lock, *deadline, available)) {
        return 1;
    }
    --value_;
    return 0;
}

}  // namespace platform::dispatch
