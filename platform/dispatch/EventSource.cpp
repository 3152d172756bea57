#include "platform/dispatch/EventSource.h"

namespace platform::dispatch {

void EventSource::setEventHandler(Block handler) {
    Block old;  // declared before the lock, so released after it
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) {
        return;
    }
    old = std::move(handler_);
    handler_ = std::move(handler);
}

void EventSource::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || resumed_) {
        return;
    }
    resumed_ = true;
    resumedLocked();
}

void EventSource::cancel() {
    Block released;  // the handler (and what it captured) is released outside the lock
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) {
            return;
        }
        cancelled_ = true;
        cancelledLocked();
        released = std::move(handler_);
        handler_ = nullptr;
    }
    cancelled();
}

}  // namespace platform::dispatch
