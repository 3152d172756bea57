#include "platform/dispatch/Dispatch.h"

#include "platform/dispatch/Scheduler.h"
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
