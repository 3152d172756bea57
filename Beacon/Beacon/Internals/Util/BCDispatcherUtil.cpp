#include "BCDispatcherUtil.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

void BCDispatcherUtil::performBlockOnMainThread(std::function<void()> block) {
    platform::dispatch::Queue::main()->async([block = std::move(block)] { runBlock(block); });
}

void BCDispatcherUtil::runBlock(const std::function<void()> &block) {
    if (block) block();
}

void BCDispatcherUtil::dispatchSyncWithTimeout(double timeout, const std::shared_ptr<platform::dispatch::Queue> &queue,
                                               std::function<void()> block) {
    if (!queue) return;
    // The completion state is shared with the block, so a block that finishes
    // after the waiter gave up signals state that is still alive.
    struct Completion {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto completion = std::make_shared<Completion>();
    queue->async([completion, block = std::move(block)] {
        if (block) block();
        std::lock_guard<std::mutex> lock(completion->mutex);
        completion->finished = true;
        completion->done.notify_all();
    });
    std::unique_lock<std::mutex> lock(completion->mutex);
    // Clamp so that a huge timeout can't overflow the conversion.
    double nanoseconds = timeout > 0 ? std::min(timeout * 1e9, 1e18) : 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
    completion->done.wait_until(lock, deadline, [&] { return completion->finished; });
}
