#pragma once
// A one-time initialisation guard. The first call runs its block; calls made
// meanwhile on other threads wait for it to finish; later calls do nothing.
// reset() re-arms the guard (singletons' resetSharedInstance uses it).
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class Once {
public:
    Once() = default;
    Once(const Once &) = delete;
    Once &operator=(const Once &) = delete;

    // Runs the block unless the guard has run. An empty block leaves the guard
    // armed. A block that throws leaves it armed too; the exception passes
    // on. A call from inside the running block would deadlock: it is logged
    // and returns at once.
    void call(const Block &block);

    // Re-arms the guard. Waits for a block running on another thread to
    // finish first; from inside the block, the guard stays armed once the
    // block returns.
    void reset();

    bool hasRun() const { return done_.load(std::memory_order_acquire); }

private:
    enum class State { Armed, Running, Done };

    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Armed;
    std::thread::id runner_;
    bool resetWhileRunning_ = false;
};

}  // namespace platform::dispatch
