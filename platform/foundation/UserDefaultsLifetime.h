#pragma once
// The user defaults' life in the process: the registry of live defaults,
// the exit handler that writes and flushes what still waits, the bound an
// end waits for another process's lock, and fork handling.
//
// An end (a defaults destroyed, or synchronize() at exit) waits for another
// process's lock within a bound: each end on its own during the run, and
// every end of one exit (the exit handler, and the destructors that run
// after it) within one bound for that exit, so that a lock held elsewhere
// cannot hold up the exit for long. The exit handler ends one defaults at a
// time: a thread that destroys those defaults meanwhile waits for that end
// before they are freed, and defaults destroyed before their turn are
// skipped (their destructor flushed them).
//
// A fork may happen at any time, from any thread. Before it, the handler
// takes, in one fixed order, every lock a thread of the defaults may hold:
// the standard defaults' slot (held while they are made), the flusher's
// flush lock, the registry, each live defaults' file mutex then its state
// mutex, the flusher's queue lock, and the lock that guards the opening of
// lock files; then the system log's lock, which a thread that logs holding
// any of these takes last. The handlers are run by the system log's own
// (SystemLog::addForkHandlers), so this order holds whatever was
// registered or initialised first. So the child inherits every structure
// whole, and none of its calls waits on a thread that is not there. The
// lock files a thread of the parent had open are closed in the child at
// once: a flock belongs to the open file, which the fork shares, and a
// child that kept it would hold its parent's lock as long as it lives. The
// child forgets them too, so that a fork it makes in turn never closes a
// file it opened since on one of their numbers.
//
// Code the defaults call while holding their locks, a `resolve` of
// loadOrStoreObject and the log's sink given a line of the defaults, may
// not use any defaults: such a call would wait for those locks, or for a
// fork that waits for them. While that code runs, every call of the
// defaults on its thread fails at once, with a line (UserDefaults.h).
// Internal to platform/foundation.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace platform {

class UserDefaults;

class UserDefaultsLifetime {
public:
    using Clock = std::chrono::steady_clock;
    // How long the ends of one exit, together, or one end during the run,
    // wait for another process's lock.
    static constexpr Clock::duration kEndPatience = std::chrono::milliseconds(250);

    static UserDefaultsLifetime &shared();

    // The process's standard defaults, made by `make` when there are none;
    // never destroyed but by a reset, so that exit flushes them.
    std::shared_ptr<UserDefaults> standard(const std::function<std::shared_ptr<UserDefaults>()> &make);
    // Drops them (destroyed outside the slot's lock, once unused).
    void resetStandard();

    void add(UserDefaults *defaults);
    // Forgets the defaults; waits while the exit handler is ending them.
    void remove(UserDefaults *defaults);
    // Whether the process is exiting: the exit handler has started.
    bool exiting() const { return exiting_.load(); }
    // When an end starting now gives up waiting for the lock: the exit's
    // one deadline (started by its first end), else the end's own.
    Clock::time_point endDeadline();

    // Opens a lock file (read-only, created 0600, never through a link),
    // as a descriptor that a forked child closes at once. -1 with errno.
    static int openLockFile(const char *path);
    // Closes it, unless a fork closed it already (in a child).
    static void closeLockFile(int fd);

    // Marks the thread, while it lives, as running code the defaults call
    // back with their locks held.
    class Callback {
    public:
        Callback();
        ~Callback();
        Callback(const Callback &) = delete;
        Callback &operator=(const Callback &) = delete;
    };
    static bool insideCallback();
    // Writes the line of a refused call; not for a call that this line's
    // own sink makes (a sink that uses defaults on every line).
    static void refuse(const std::string &line);

    // For tests: called where a thread holds one of the locks a fork takes,
    // the one named last, so that a test can park a thread there. Null (the
    // default) costs a load.
    enum class Holding { Standard, Flushes, Registry, File, State, Queue, LockFiles };
    static std::atomic<void (*)(Holding)> holdingHookForTesting;
    static void holding(Holding where) {
        if (auto *hook = holdingHookForTesting.load(std::memory_order_acquire)) hook(where);
    }

private:
    UserDefaultsLifetime();
    static void prepareFork();
    static void parentAfterFork();
    static void childAfterFork();
    static void atExit();

    std::mutex standardMutex_;  // guards standard_, held while it is made
    std::shared_ptr<UserDefaults> standard_;
    std::mutex mutex_;  // guards all_ and ending_
    std::set<UserDefaults *> all_;
    // The defaults the exit handler is ending: their destruction waits for
    // it (told by ended_).
    UserDefaults *ending_ = nullptr;
    std::condition_variable ended_;
    std::atomic<bool> exiting_{false};
    // The exit's deadline (the time since the clock's epoch), or zero
    // before its first end.
    std::atomic<Clock::rep> exitDeadline_{0};
};

}  // namespace platform
