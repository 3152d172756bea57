#pragma once
// A pool of worker threads that grows on demand: a job never waits for a busy
// worker while the pool is below its limit, so work that blocks (a sync onto
// another queue, a semaphore wait) cannot starve the other jobs. Workers that
// stay idle for a while exit. Workers are detached and pools live for the
// whole process, so they never hold up process exit.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class WorkerPool {
public:
    WorkerPool(std::string threadName, std::size_t maxThreads, std::chrono::milliseconds idleTimeout);
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Queues the job; an idle worker takes it, or a new worker is started.
    void submit(Block job);

    // Number of live worker threads.
    std::size_t threadCount() const;

private:
    void workerMain();
    void startWorkerLocked();

    const std::string threadName_;
    const std::size_t maxThreads_;
    const std::chrono::milliseconds idleTimeout_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> jobs_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;      // workers waiting for a job
    std::size_t starting_ = 0;  // workers started that have not yet taken a job
};

}  // namespace platform::dispatch
