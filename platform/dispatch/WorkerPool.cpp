#include "platform/dispatch/WorkerPool.h"

#include <pthread.h>
#include <sched.h>

#include <system_error>
#include <thread>

#include "platform/dispatch/Scheduler.h"
#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

WorkerPool::WorkerPool(std::string threadName, std::size_t maxThreads, std::chrono::milliseconds idleTimeout,
                       std::size_t eagerThreads)
    : threadName_(std::move(threadName)), maxThreads_(maxThreads > 0 ? maxThreads : 1), idleTimeout_(idleTimeout),
      eagerThreads_(eagerThreads > 0 ? eagerThreads : 1) {}

std::size_t WorkerPool::availableCPUs() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

void WorkerPool::submit(Block job) {
    if (!job) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    // Every waiting job needs a worker of its own: an idle one, one being
    // started, or a new one.
    if (!jobsWaitingLocked()) {
        wake_.notify_one();
    } else if (threads_ < eagerThreads_ && threads_ < maxThreads_) {
        startWorkerLocked();
    } else {
        wake_.notify_one();  // an idle worker, if any, takes it meanwhile
        watchForStallLocked();
    }
}

std::size_t WorkerPool::threadCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

bool WorkerPool::jobsWaitingLocked() const { return jobs_.size() > idle_ + starting_; }

void WorkerPool::startWorkerLocked() {
    ++threads_;
    ++starting_;
    try {
        std::thread(&WorkerPool::workerMain, this).detach();
    } catch (const std::system_error &error) {
        --threads_;
        --starting_;
        SystemLog::write("[dispatch] could not start a worker thread for " + threadName_ + ": " + error.what());
        wake_.notify_one();
    }
}

void WorkerPool::watchForStallLocked() {
    if (watching_ || threads_ >= maxThreads_) {
        return;
    }
    watching_ = true;
    takenAtWatch_ = taken_;
    // The pool is never destroyed, so the scheduled call may keep `this`.
    Scheduler::shared().schedule(Clock::now() + kStallTime, [this] { checkStall(); });
}

void WorkerPool::checkStall() {
    std::lock_guard<std::mutex> lock(mutex_);
    watching_ = false;
    if (!jobsWaitingLocked()) {
        return;
    }
    // Jobs waited the whole stall time and no worker took one: the busy
    // workers are blocked, so add one.
    if (taken_ == takenAtWatch_ && threads_ < maxThreads_) {
        startWorkerLocked();
    }
    if (jobsWaitingLocked()) {
        watchForStallLocked();
    }
}

void WorkerPool::workerMain() {
    pthread_setname_np(pthread_self(), threadName_.substr(0, 15).c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    --starting_;
    for (;;) {
        while (jobs_.empty()) {
            ++idle_;
            const bool gotWork = wake_.wait_for(lock, idleTimeout_, [this] { return !jobs_.empty(); });
            --idle_;
            if (!gotWork) {
                --threads_;
                return;
            }
        }
        Block job = std::move(jobs_.front());
        jobs_.pop_front();
        ++taken_;
        lock.unlock();
        job();
        job = nullptr;  // release what the job captured outside the lock
        lock.lock();
    }
}

}  // namespace platform::dispatch
