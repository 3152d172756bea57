#pragma once
// A timer source: calls its event handler on a queue after a start delay and
// then every interval, until it is cancelled.
//
// - Created suspended; resume() starts it and suspend() holds it (both are
//   plain switches, not counted). A deadline that passes while suspended is
//   delivered at resume.
// - The handler never runs concurrently with itself; fires that come due
//   while a call is queued or running are merged into it.
// - Leeway is accepted for compatibility; fires are not delayed on purpose.
// - A resumed timer keeps itself alive until it is cancelled (as a dispatch
//   source is retained by the system while it is active).
//
// Cancellation: after cancel() returns, no handler call starts. cancel()
// never blocks, so it is safe from inside the handler and while holding a lock
// the handler takes; a call already running on another thread finishes on
// its own. cancelAndWait() also waits (up to a timeout) for such a running
// call to return, except when called from inside the handler itself. The
// handler is released at cancel.
#include <condition_variable>
#include <memory>
#include <thread>

#include "platform/dispatch/EventSource.h"
#include "platform/dispatch/Scheduler.h"

namespace platform::dispatch {

class Queue;

class TimerSource : public EventSource, public std::enable_shared_from_this<TimerSource> {
public:
    // A timer delivering on the queue (the default global queue, with a line in
    // the system log, when none is given).
    static std::shared_ptr<TimerSource> create(std::shared_ptr<Queue> queue);

    // First fire `startDelaySeconds` from now (kForever: never), then every
    // `intervalSeconds`; an interval that is not positive and finite makes a
    // one-shot timer; intervals below 1 ms are taken as 1 ms. NaN values are logged and taken as 0. Replaces an
    // earlier setting.
    void setTimer(double startDelaySeconds, double intervalSeconds, double leewaySeconds = 0);

    // setEventHandler(), resume() and cancel() come from EventSource.
    void suspend();
    // cancel(), then wait until no handler call is running on another thread
    // or the timeout passes; answers whether none is running.
    bool cancelAndWait(double timeoutSeconds = kForever);
    bool isCancelled() const;

private:
    explicit TimerSource(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}
    void resumedLocked() override;
    void cancelledLocked() override;
    void scheduleLocked();
    void unscheduleLocked();
    void deadlineReached(unsigned long generation);
    void deliver();

    const std::shared_ptr<Queue> queue_;
    std::condition_variable idle_;
    bool armed_ = false;            // a deadline is set and has not been consumed
    bool deliveryPending_ = false;  // a delivery is queued or running
    bool running_ = false;
    std::thread::id runner_;
    Clock::time_point nextDeadline_{};
    Clock::duration interval_{};    // zero for a one-shot timer
    unsigned long generation_ = 0;  // invalidates deadlines already handed to the scheduler
    Scheduler::Id scheduled_ = 0;
};

}  // namespace platform::dispatch
