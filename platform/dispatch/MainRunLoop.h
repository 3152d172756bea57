#pragma once
// The main thread and its run loop. The main queue's blocks wait here until
// the main thread pumps the loop; they then run on the pumping thread in the
// order they were queued.
//
// The main thread is the process's initial thread, unless a thread declares
// itself the main thread with adoptCurrentThreadAsMain() (for a child made by
// fork, the adoption of its parent does not carry over). Pumping from any
// other thread is refused with a line in the system log and runs nothing.
// Pumps may be nested (a main-queue block may pump again), and every test of
// a process may pump the same loop.
#include <cstddef>
#include <functional>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class MainRunLoop {
public:
    MainRunLoop() = delete;

    // Makes the calling thread the main thread.
    static void adoptCurrentThreadAsMain();
    static bool isMainThread();

    // Runs main-queue work until the predicate holds or the timeout (seconds;
    // kForever for none) passes; answers the predicate's last value. The
    // predicate is checked before each block and at least every 10 ms while
    // idle. An empty predicate never holds.
    static bool runUntil(const std::function<bool()> &predicate, double timeoutSeconds);

    // Runs the blocks queued at the time of the call (not those they queue);
    // answers how many ran.
    static std::size_t runPending();

    // Runs main-queue work until stop(). A stop() while no run() is active
    // makes the next run() return at once, so a stop cannot be lost to a race
    // with the start of the loop.
    static void run();
    static void stop();

    // Wakes a waiting pump so that it checks its predicate at once.
    static void wakeUp();

private:
    friend class Queue;
    static void enqueue(Block block);
};

}  // namespace platform::dispatch
