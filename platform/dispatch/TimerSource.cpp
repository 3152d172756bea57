#include "platform/dispatch/TimerSource.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/Queue.h"
#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<Queue> queue) {
    if (!queue) {
        SystemLog::write("[dispatch] TimerSource::create without a queue; using the default global queue");
        queue = Queue::global(Priority::Default);
    }
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

void TimerSource::setTimer(double startDelaySeconds, double intervalSeconds, double leewaySeconds) {
    (void)leewaySeconds;
    if (std::isnan(startDelaySeconds) || std::isnan(intervalSeconds)) {
        SystemLog::write("[dispatch] TimerSource::setTimer with a NaN delay or interval; taken as 0");
        startDelaySeconds = std::isnan(startDelaySeconds) ? 0 : startDelaySeconds;
        intervalSeconds = std::isnan(intervalSeconds) ? 0 : intervalSeconds;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) {
        return;
    }
    unscheduleLocked();
    const std::optional<Clock::time_point> start = deadlineAfter(startDelaySeconds);
    armed_ = start.has_value();
    nextDeadline_ = start.value_or(Clock::time_point{});
    interval_ = Clock::duration::zero();
    if (std::isfinite(intervalSeconds) && intervalSeconds > 0) {
        constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
        const double seconds = intervalSeconds < kMaxSeconds ? intervalSeconds : kMaxSeconds;
        interval_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        // A timer cannot fire more often than every millisecond.
        interval_ = std::max<Clock::duration>(interval_, std::chrono::milliseconds(1));
    }
    if (resumed_ && armed_) {
        scheduleLocked();
    }
}

void TimerSource::resumedLocked() {
    if (armed_) {
        scheduleLocked();
    }
}

void TimerSource::suspend() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || !resumed_) {
        return;
    }
    resumed_ = false;
    unscheduleLocked();
}

void TimerSource::cancelledLocked() { unscheduleLocked(); }

bool TimerSource::cancelAndWait(double timeoutSeconds) {
    cancel();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_ || runner_ == std::this_thread::get_id()) {
        return true;
    }
    const std::optional<Clock::time_point> deadline = deadlineAfter(timeoutSeconds);
    if (!deadline) {
        idle_.wait(lock, [this] { return !running_; });
        return true;
    }
    return idle_.wait_until(lock, *deadline, [this] { return !running_; });
}

bool TimerSource::isCancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

void TimerSource::scheduleLocked() {
    const unsigned long generation = ++generation_;
    scheduled_ = Scheduler::shared().schedule(
        nextDeadline_, [self = shared_from_this(), generation] { self->deadlineReached(generation); });
}

void TimerSource::unscheduleLocked() {
    ++generation_;
    if (scheduled_ != 0) {
        Scheduler::shared().cancel(scheduled_);
        scheduled_ = 0;
    }
}

void TimerSource::deadlineReached(unsigned long generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_ || cancelled_ || !resumed_) {
        return;
    }
    scheduled_ = 0;
    if (interval_ > Clock::duration::zero()) {
        nextDeadline_ += interval_;
        const Clock::time_point now = Clock::now();
        if (nextDeadline_ <= now) {
            // Fell behind: merge the missed fires instead of firing in a burst.
            nextDeadline_ = now + interval_;
        }
        scheduleLocked();
    } else {
        armed_ = false;
    }
    if (!deliveryPending_) {
        deliveryPending_ = true;
        queue_->async([self = shared_from_this()] { self->deliver(); });
    }
}

void TimerSource::deliver() {
    Block handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_ || !handler_) {
            deliveryPending_ = false;
            return;
        }
        if (!resumed_) {
            // Suspended after the fire was queued: keep it for resume.
            deliveryPending_ = false;
            if (!armed_) {
                armed_ = true;
                nextDeadline_ = Clock::now();
            }
            return;
        }
        handler = handler_;
        running_ = true;
        runner_ = std::this_thread::get_id();
    }
    handler();
    handler = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    runner_ = {};
    deliveryPending_ = false;
    idle_.notify_all();
}

}  // namespace platform::dispatch
