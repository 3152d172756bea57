#pragma once
// Dispatch helpers of the SDK.
#include <functional>
#include <memory>

#include "platform/dispatch/Queue.h"

class BCDispatcherUtil {
public:
    // Runs the block later on the main thread's run loop, also when called
    // from the main thread.
    static void performBlockOnMainThread(std::function<void()> block);
    static void runBlock(const std::function<void()> &block);
    // Queues the block and waits until it has run or the timeout (seconds)
    // passes, whichever comes first. A block still running at the timeout
    // is not cancelled; when it finishes later it touches nothing of the
    // caller that has returned.
    static void dispatchSyncWithTimeout(double timeout, const std::shared_ptr<platform::dispatch::Queue> &queue,
                                        std::function<void()> block);
};
