#include "platform/dispatch/Once.h"

#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

void Once::call(const Block &block) {
    if (done_.load(std::memory_order_acquire)) {
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (state_ == State::Done) {
            return;
        }
        if (state_ == State::Armed) {
            break;
        }
        if (runner_ == std::this_thread::get_id()) {
            SystemLog::write("[dispatch] Once::call from inside its own block; ignored");
            return;
        }
        changed_.wait(lock);
    }
    if (!block) {
        return;
    }
    state_ = State::Running;
    runner_ = std::this_thread::get_id();
    resetWhileRunning_ = false;
    lock.unlock();
    try {
        block();
    } catch (...) {
        lock.lock();
        state_ = State::Armed;
        runner_ = {};
        changed_.notify_all();
        throw;
    }
    lock.lock();
    runner_ = {};
    if (resetWhileRunning_) {
        state_ = State::Armed;
    } else {
        state_ = State::Done;
        done_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
}

void Once::reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == State::Running) {
        if (runner_ == std::this_thread::get_id()) {
            resetWhileRunning_ = true;
            return;
        }
        changed_.wait(lock, [this] { return state_ != State::Running; });
    }
    state_ = State::Armed;
    done_.store(false, std::memory_order_release);
    changed_.notify_all();
}

}  // namespace platform::dispatch
