#include "platform/foundation/UserDefaultsFlusher.h"

#include <algorithm>
#include <new>
#include <pthread.h>
#include <unistd.h>

#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/UserDefaultsLifetime.h"

namespace platform {

namespace {

// Pauses between tries while another process holds the file's lock: short
// at first (a live writer lets go within milliseconds), then longer.
constexpr std::chrono::steady_clock::duration kFirstRetry = std::chrono::milliseconds(5);
constexpr std::chrono::steady_clock::duration kLongestRetry = std::chrono::milliseconds(250);

}  // namespace

UserDefaultsFlusher &UserDefaultsFlusher::shared() {
    static UserDefaultsFlusher *flusher = new UserDefaultsFlusher;
    return *flusher;
}

void UserDefaultsFlusher::schedule(UserDefaults *defaults, std::chrono::steady_clock::duration delay) {
    const pid_t self = ::getpid();
    const auto due = std::chrono::steady_clock::now() + delay;
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = pending_.try_emplace(defaults, Pending{due, self});
    // An entry left by the parent, for defaults that lived at the same
    // address there, is this process's now.
    if (!inserted && it->second.owner != self) {
        it->second = Pending{due, self};
        inserted = true;
    }
    if (!inserted) {
        if (due >= it->second.due) return;
        it->second.due = due;
    }
    if (running_) {
        wake_.notify_all();
        return;
    }
    pthread_t thread;
    starting_ = true;
    if (pthread_create(&thread, nullptr, &UserDefaultsFlusher::threadMain, this) != 0) {
        // The flush then runs at the destructor, synchronize() or exit.
        starting_ = false;
        UserDefaultsFile::logLine("Cannot start the thread that flushes the defaults to disk");
        return;
    }
    pthread_detach(thread);
    running_ = true;
}

void UserDefaultsFlusher::cancel(UserDefaults *defaults) {
    std::lock_guard<std::mutex> flushing(flushMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(defaults);
}

void UserDefaultsFlusher::lockFlushesForFork() { flushMutex_.lock(); }

void UserDefaultsFlusher::lockQueueForFork() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !starting_; });
    lock.release();  // held until after the fork
}

void UserDefaultsFlusher::unlockQueueAfterFork(bool child) {
    if (child) {
        // The forking thread, which holds the locks, is the child's only
        // one; the condition is made anew, as the thread that waited on it
        // is not here.
        new (&wake_) std::condition_variable;
        running_ = false;
        starting_ = false;
    }
    mutex_.unlock();
}

void UserDefaultsFlusher::unlockFlushesAfterFork() { flushMutex_.unlock(); }

void *UserDefaultsFlusher::threadMain(void *self) {
    pthread_setname_np(pthread_self(), "defaults.flush");
    static_cast<UserDefaultsFlusher *>(self)->run();
    return nullptr;
}

void UserDefaultsFlusher::run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    starting_ = false;
    wake_.notify_all();  // a fork that waits for the start
    for (;;) {
        UserDefaultsLifetime::holding(UserDefaultsLifetime::Holding::Queue);
        if (pending_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const pid_t self = ::getpid();
        Clock::time_point due = Clock::time_point::max();
        for (const auto &[defaults, pending] : pending_)
            due = std::min(due, pending.owner == self ? pending.due : Clock::time_point::min());
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        lock.unlock();
        {
            // Everything that allocates, the map's changes included,
            // happens under flushMutex_.
            std::lock_guard<std::mutex> flushing(flushMutex_);
            UserDefaultsLifetime::holding(UserDefaultsLifetime::Holding::Flushes);
            lock.lock();
            UserDefaults *target = nullptr;
            Clock::duration retry{};
            const Clock::time_point now = Clock::now();
            for (auto it = pending_.begin(); it != pending_.end();) {
                const bool inherited = it->second.owner != self;
                if (inherited || (!target && it->second.due <= now)) {
                    if (!inherited) {
                        target = it->first;
                        retry = it->second.retry;
                    }
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
            lock.unlock();
            // The destructor waits for flushMutex_ before it lets go of
            // the defaults: target is alive.
            if (target && !target->flushInBackground()) {
                // Another process holds the file's lock: again later.
                retry = std::min(std::max(retry * 2, kFirstRetry), kLongestRetry);
                const Clock::time_point due = Clock::now() + retry;
                lock.lock();
                auto [it, inserted] = pending_.try_emplace(target, Pending{due, self, retry});
                if (!inserted) {
                    it->second.due = std::min(it->second.due, due);
                    it->second.retry = retry;
                }
                lock.unlock();
            }
        }
        lock.lock();
    }
}

}  // namespace platform
