#pragma once
// A pool of worker threads that grows with the work and shrinks after it.
// Up to `eagerThreads` workers, a job never waits for a busy worker: a new
// one is started when none is free. Beyond that (up to `maxThreads`), a
// worker is added only when jobs have waited a short while with none taken,
// which is what happens when every worker is blocked (a sync onto another
// queue, a semaphore wait): blocking work cannot starve the other jobs, and
// a burst of short jobs does not start a thread each. Workers that stay idle
// for a while exit. Workers are detached and pools live for the whole
// process, so they never hold up process exit.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class WorkerPool {
public:
    WorkerPool(std::string threadName, std::size_t maxThreads, std::chrono::milliseconds idleTimeout,
               std::size_t eagerThreads = SIZE_MAX);
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Queues the job; an idle worker takes it, or a new worker is started
    // (at once below the eager limit, after a stall above it).
    void submit(Block job);

    // Number of live worker threads.
    std::size_t threadCount() const;

    // How long queued jobs wait with none taken before a worker is added
    // above the eager limit.
    static constexpr auto kStallTime = std::chrono::milliseconds(20);

    // The CPUs this process may run on (at least one).
    static std::size_t availableCPUs();

private:
    void workerMain();
    void startWorkerLocked();
    bool jobsWaitingLocked() const;
    void watchForStallLocked();
    void checkStall();

    const std::string threadName_;
    const std::size_t maxThreads_;
    const std::chrono::milliseconds idleTimeout_;
    const std::size_t eagerThreads_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> jobs_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;      // workers waiting for a job
    std::size_t starting_ = 0;  // workers started that have not yet taken a job
    std::uint64_t taken_ = 0;   // jobs taken so far
    bool watching_ = false;     // a stall check is scheduled
    std::uint64_t takenAtWatch_ = 0;
};

}  // namespace platform::dispatch
