#pragma once
// A dispatch group: counts work in flight (enter/leave, or blocks queued with
// async(group, queue, block)), lets a thread wait for it to drain, and queues
// notification blocks for when it does.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class Queue;

class Group : public std::enable_shared_from_this<Group> {
public:
    static std::shared_ptr<Group> create();

    Group(const Group &) = delete;
    Group &operator=(const Group &) = delete;

    void enter();
    // A leave without a matching enter is logged and ignored.
    void leave();

    // Waits until every entered piece of work has left or the timeout (seconds
    // from now; kForever to wait without limit) passes. Answers whether the
    // group was empty.
    bool wait(double timeoutSeconds = kForever);
    bool wait(std::chrono::nanoseconds timeout);

    // Queues the block on the queue once the group is empty (at once when it
    // is empty now). Each notification runs once.
    void notify(const std::shared_ptr<Queue> &queue, Block block);

    // Queues the block on the queue as work of this group.
    void async(const std::shared_ptr<Queue> &queue, Block block);

private:
    Group() = default;
    bool waitUntil(const std::optional<Clock::time_point> &deadline);

    std::mutex mutex_;
    std::condition_variable emptied_;
    long count_ = 0;
    std::vector<std::pair<std::shared_ptr<Queue>, Block>> notifications_;
};

}  // namespace platform::dispatch
