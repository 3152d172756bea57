#pragma once
// The dispatch functions: queue blocks, run them synchronously, run them
// later, and reach the global and main queues. Each function ignores an empty
// block. A missing queue is a programming error: it is logged and the default
// global queue is used instead (sync runs the block on the calling thread), so
// no work is lost.
#include <chrono>
#include <memory>

#include "platform/dispatch/DispatchTypes.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

std::shared_ptr<Queue> globalQueue(Priority priority = Priority::Default);
std::shared_ptr<Queue> mainQueue();
bool isMainThread();

void async(const std::shared_ptr<Queue> &queue, Block block);
void sync(const std::shared_ptr<Queue> &queue, const Block &block);

// Queues the block on the queue once the delay has passed (at once for a delay
// that is not positive; never for kForever).
void after(double delaySeconds, const std::shared_ptr<Queue> &queue, Block block);
void after(std::chrono::nanoseconds delay, const std::shared_ptr<Queue> &queue, Block block);

// Queues the block on the queue as work of the group.
void async(const std::shared_ptr<Group> &group, const std::shared_ptr<Queue> &queue, Block block);

}  // namespace platform::dispatch
