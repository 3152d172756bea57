#include "platform/dispatch/Scheduler.h"

#include <pthread.h>

#include <system_error>
#include <thread>

#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

Scheduler &Scheduler::shared() {
    // Never destroyed: its detached thread may still be waiting at exit.
    static Scheduler *scheduler = new Scheduler();
    return *scheduler;
}

Scheduler::Id Scheduler::schedule(Clock::time_point when, Block fire) {
    if (!fire) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
        try {
            std::thread(&Scheduler::run, this).detach();
            started_ = true;
        } catch (const std::system_error &error) {
            SystemLog::write(std::string("[dispatch] could not start the timer thread: ") + error.what());
        }
    }
    const Id id = nextId_++;
    const bool earliest = entries_.empty() || when < entries_.begin()->first.first;
    entries_.emplace(std::make_pair(when, id), std::move(fire));
    deadlines_.emplace(id, when);
    if (earliest) {
        changed_.notify_one();
    }
    return id;
}

bool Scheduler::cancel(Id id) {
    Block dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = deadlines_.find(id);
        if (found == deadlines_.end()) {
            return false;
        }
        auto entry = entries_.find(std::make_pair(found->second, id));
        if (entry != entries_.end()) {
            dropped = std::move(entry->second);
            entries_.erase(entry);
        }
        deadlines_.erase(found);
    }
    // `dropped` is released here, outside the lock: it may own the last
    // reference to objects whose destructors schedule or cancel.
    return true;
}

void Scheduler::run() {
    pthread_setname_np(pthread_self(), "dispatch.timer");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (entries_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto first = entries_.begin();
        const Clock::time_point when = first->first.first;
        if (when > Clock::now()) {
            changed_.wait_until(lock, when);
            continue;
        }
        Block fire = std::move(first->second);
        deadlines_.erase(first->first.second);
        entries_.erase(first);
        lock.unlock();
        fire();
        fire = nullptr;
        lock.lock();
    }
}

}  // namespace platform::dispatch
