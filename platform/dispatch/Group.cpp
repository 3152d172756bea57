#include "platform/dispatch/Group.h"

#include "platform/dispatch/Queue.h"
#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

std::shared_ptr<Group> Group::create() { return std::shared_ptr<Group>(new Group()); }

void Group::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::vector<std::pair<std::shared_ptr<Queue>, Block>> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) {
            SystemLog::write("[dispatch] Group::leave without a matching enter; ignored");
            return;
        }
        if (--count_ > 0) {
            return;
        }
        due.swap(notifications_);
        emptied_.notify_all();
    }
    for (auto &[queue, block] : due) {
        queue->async(std::move(block));
    }
}

bool Group::wait(double timeoutSeconds) { return waitUntil(deadlineAfter(timeoutSeconds)); }

bool Group::wait(std::chrono::nanoseconds timeout) { return waitUntil(deadlineAfter(timeout)); }

bool Group::waitUntil(const std::optional<Clock::time_point> &deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!deadline) {
        emptied_.wait(lock, [this] { return count_ == 0; });
        return true;
    }
    return emptied_.wait_until(lock, *deadline, [this] { return count_ == 0; });
}

void Group::notify(const std::shared_ptr<Queue> &queue, Block block) {
    if (!block) {
        return;
    }
    std::shared_ptr<Queue> target = queue;
    if (!target) {
        SystemLog::write("[dispatch] Group::notify without a queue; using the default global queue");
        target = Queue::global(Priority::Default);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ > 0) {
            notifications_.emplace_back(std::move(target), std::move(block));
            return;
        }
    }
    target->async(std::move(block));
}

void Group::async(const std::shared_ptr<Queue> &queue, Block block) {
    if (!block) {
        return;
    }
    std::shared_ptr<Queue> target = queue;
    if (!target) {
        SystemLog::write("[dispatch] async without a queue; using the default global queue");
        target = Queue::global(Priority::Default);
    }
    enter();
    // The block holds the group until it has left.
    target->async([block = std::move(block), self = shared_from_this()] {
        block();
        self->leave();
    });
}

}  // namespace platform::dispatch
