#pragma once
// The dispatch functions: queue blocks, run them synchronously, run them
// later, and reach the global and main queues. Each function ignores an empty
// block. A missing queue is a programming error: it is logged and the default
// global queue is used instead (sync runs the block on the calling thread), so
// no work is lost.
#include <chrono>
#include <cstddef>
#include <functional>
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

// Calls block(0) ... block(iterations - 1) and returns when every call has
// returned. The calls are spread over the calling thread and up to one worker
// of the queue per further CPU. The calling thread takes calls as well and
// never waits for a worker that has not begun one, so when the queue's
// workers are busy the calls simply run on the calling thread.
void apply(std::size_t iterations, const std::shared_ptr<Queue> &queue, const std::function<void(std::size_t)> &block);

// Queues the block on the queue as work of the group.
void async(const std::shared_ptr<Group> &group, const std::shared_ptr<Queue> &queue, Block block);

}  // namespace platform::dispatch
