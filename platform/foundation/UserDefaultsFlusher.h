#pragma once
// The user defaults' background flush: one thread per process, started by
// the first write whose fsyncs are deferred (or that found the file's lock
// held by another process) and kept from then on. While no flush waits it
// sleeps without a bound (no idle wakeups); else it sleeps until the
// earliest one is due, a couple of seconds after the write that asked for
// it, so that the changes of a burst share it. A flush never waits for the
// file's lock: while another process holds it, the flush is tried again a
// little later, less often as the wait goes on.
//
// Safe across fork: the thread allocates only inside a flush, and a flush
// runs entirely while holding flushMutex_, which a fork takes too (the
// defaults' fork handlers, UserDefaultsLifetime, take it right after the
// standard defaults' slot, and the queue's lock after every defaults'
// mutexes); a fork also waits until a thread being started runs.
// So no fork ever copies the allocator in the middle of a call made by this
// thread (the sanitizers' allocators do not survive that). The child has no
// such thread: its own first deferred write starts one, and it never
// flushes its parent's defaults. Never destroyed: the thread may still run
// while exit runs the static destructors. Internal to platform/foundation.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sys/types.h>

namespace platform {

class UserDefaults;

class UserDefaultsFlusher {
public:
    static UserDefaultsFlusher &shared();

    // A flush of the defaults once `delay` has passed, or sooner when one
    // is due sooner already. Takes no lock but the flusher's own short one.
    void schedule(UserDefaults *defaults, std::chrono::steady_clock::duration delay);
    // Forgets the defaults; waits for a flush of them under way.
    void cancel(UserDefaults *defaults);

private:
    friend class UserDefaultsLifetime;
    struct Pending {
        std::chrono::steady_clock::time_point due;
        pid_t owner;                                  // the process that asked: a forked child inherits the entries
        std::chrono::steady_clock::duration retry{};  // the last pause after a held lock
    };

    UserDefaultsFlusher() = default;
    // The fork handlers' part: a fork waits for a flush under way and for a
    // thread being started; the child has no thread.
    void lockFlushesForFork();
    void lockQueueForFork();
    void unlockQueueAfterFork(bool child);
    void unlockFlushesAfterFork();
    static void *threadMain(void *self);
    void run();

    std::mutex flushMutex_;  // held while a flush runs, and across a fork
    std::mutex mutex_;       // guards what follows; the thread changes pending_ only under flushMutex_ too
    std::condition_variable wake_;
    std::map<UserDefaults *, Pending> pending_;
    bool running_ = false;   // the thread exists in this process
    bool starting_ = false;  // made, not yet running its own code
};

}  // namespace platform
