#pragma once
// One process-wide thread that calls short functions at given points in time;
// `after` and the timer sources use it to hand blocks to their queues. The
// functions it calls must not block (they only queue work). Its thread is
// detached and the scheduler lives for the whole process.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class Scheduler {
public:
    using Id = std::uint64_t;

    static Scheduler &shared();

    // Calls `fire` on the scheduler's thread at `when` (at once when it has
    // passed). Answers an id for cancel (0 when the function is empty).
    Id schedule(Clock::time_point when, Block fire);

    // Forgets a scheduled call; answers whether it had not been made yet.
    bool cancel(Id id);

private:
    Scheduler() = default;
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<Clock::time_point, Id>, Block> entries_;
    std::unordered_map<Id, Clock::time_point> deadlines_;
    Id nextId_ = 1;
    bool started_ = false;
};

}  // namespace platform::dispatch
