#pragma once
// What every dispatch source shares: an event handler, and the switches
// resume() and cancel() move, all under one mutex. A source is created
// inactive; resume() switches it on (suspending, where a source allows it,
// clears resumed_ again); cancel() is final: the handler is released outside
// the lock and no later setEventHandler() or resume() has any effect.
//
// A source derives from this class and says what switching on and
// cancelling mean for it through the hooks below.
#include <mutex>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class EventSource {
public:
    virtual ~EventSource() = default;

    EventSource(const EventSource &) = delete;
    EventSource &operator=(const EventSource &) = delete;

    // Replaces the handler (the one replaced is released outside the lock);
    // ignored once cancelled.
    void setEventHandler(Block handler);
    // Switches the source on, unless it is on already or cancelled.
    void resume();
    // Marks the source cancelled and releases its handler (once).
    void cancel();

protected:
    EventSource() = default;

    // resume() has just switched the source on (mutex_ held).
    virtual void resumedLocked() {}
    // cancel() has just marked the source cancelled (mutex_ held, the
    // handler not yet released).
    virtual void cancelledLocked() {}
    // After cancelledLocked(), with mutex_ released; the handler is released
    // when this returns.
    virtual void cancelled() {}

    mutable std::mutex mutex_;
    Block handler_;
    bool resumed_ = false;
    bool cancelled_ = false;
};

}  // namespace platform::dispatch
