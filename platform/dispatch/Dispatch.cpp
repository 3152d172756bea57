#include "platform/dispatch/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/Scheduler.h"
#include "platform/dispatch/WorkerPool.h"
#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

namespace {

std::shared_ptr<Queue> orDefault(const std::shared_ptr<Queue> &queue, const char *operation) {
    if (queue) {
        return queue;
    }
    SystemLog::write(std::string("[dispatch] ") + operation + " without a queue; using the default global queue");
    return Queue::global(Priority::Default);
}

void afterDeadline(const std::optional<Clock::time_point> &deadline, const std::shared_ptr<Queue> &queue, Block block) {
    if (!block || !deadline) {
        return;
    }
    std::shared_ptr<Queue> target = orDefault(queue, "after");
    if (*deadline <= Clock::now()) {
        target->async(std::move(block));
        return;
    }
    Scheduler::shared().schedule(*deadline,
                                 [target, block = std::move(block)]() mutable { target->async(std::move(block)); });
}

}  // namespace

std::shared_ptr<Queue> globalQueue(Priority priority) { return Queue::global(priority); }

std::shared_ptr<Queue> mainQueue() { return Queue::main(); }

bool isMainThread() { return MainRunLoop::isMainThread(); }

void async(const std::shared_ptr<Queue> &queue, Block block) {
    if (!block) {
        return;
    }
    orDefault(queue, "async")->async(std::move(block));
}

void sync(const std::shared_ptr<Queue> &queue, const Block &block) {
    if (!block) {
        return;
    }
    if (!queue) {
        SystemLog::write("[dispatch] sync without a queue; running the block on the calling thread");
        block();
        return;
    }
    queue->sync(block);
}

void after(double delaySeconds, const std::shared_ptr<Queue> &queue, Block block) {
    afterDeadline(deadlineAfter(delaySeconds), queue, std::move(block));
}

void after(std::chrono::nanoseconds delay, const std::shared_ptr<Queue> &queue, Block block) {
    afterDeadline(deadlineAfter(delay), queue, std::move(block));
}

void apply(std::size_t iterations, const std::shared_ptr<Queue> &queue, const std::function<void(std::size_t)> &block) {
    if (!block || iterations == 0) {
        return;
    }
    // Shared with the workers: one that starts after every call was taken
    // finds nothing left and touches only this, which it keeps alive. The
    // block is reached only for a call taken, and the caller waits for those.
    struct Calls {
        std::atomic<std::size_t> next{0};
        std::size_t iterations = 0;
        const std::function<void(std::size_t)> *block = nullptr;
        std::mutex mutex;
        std::condition_variable allReturned;
        std::size_t returned = 0;
    };
    auto calls = std::make_shared<Calls>();
    calls->iterations = iterations;
    calls->block = &block;
    const auto take = [](Calls &shared) {
        std::size_t ran = 0;
        for (std::size_t i; (i = shared.next.fetch_add(1)) < shared.iterations; ++ran) {
            (*shared.block)(i);
        }
        if (ran == 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.returned += ran;
        if (shared.returned == shared.iterations) {
            shared.allReturned.notify_all();
        }
    };
    const std::size_t workers = std::min(WorkerPool::availableCPUs(), iterations) - 1;
    if (workers > 0) {
        const std::shared_ptr<Queue> target = orDefault(queue, "apply");
        for (std::size_t w = 0; w < workers; ++w) {
            target->async([calls, take] { take(*calls); });
        }
    }
    take(*calls);
    std::unique_lock<std::mutex> lock(calls->mutex);
    calls->allReturned.wait(lock, [&] { return calls->returned == iterations; });
}

void async(const std::shared_ptr<Group> &group, const std::shared_ptr<Queue> &queue, Block block) {
    if (!block) {
        return;
    }
    if (!group) {
        SystemLog::write("[dispatch] async with a group but no group; queued without one");
        async(queue, std::move(block));
        return;
    }
    group->async(queue, std::move(block));
}

}  // namespace platform::dispatch
