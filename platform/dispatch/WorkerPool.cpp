#include "platform/dispatch/WorkerPool.h"

#include <pthread.h>

#include <system_error>
#include <thread>

#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

WorkerPool::WorkerPool(std::string threadName, std::size_t maxThreads, std::chrono::milliseconds idleTimeout)
    : threadName_(std::move(threadName)), maxThreads_(maxThreads > 0 ? maxThreads : 1), idleTimeout_(idleTimeout)
{
}

void WorkerPool::submit(Block job)
{
    if (!job) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    // Every waiting job needs a worker of its own: an idle one, one being
    // started, or a new one.
    if (jobs_.size() > idle_ + starting_ && threads_ < maxThreads_) {
        startWorkerLocked();
    } else {
        wake_.notify_one();
    }
}

std::size_t WorkerPool::threadCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

void WorkerPool::startWorkerLocked()
{
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

void WorkerPool::workerMain()
{
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
        lock.unlock();
        job();
        job = nullptr;  // release what the job captured outside the lock
        lock.lock();
    }
}

}  // namespace platform::dispatch
