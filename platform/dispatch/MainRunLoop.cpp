#include "platform/dispatch/MainRunLoop.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

namespace {

struct LoopState {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> items;
    bool stopRequested = false;
    unsigned long wakeups = 0;
};

LoopState &state() {
    // Never destroyed: blocks may be queued from threads still running at exit.
    static LoopState *loop = new LoopState();
    return *loop;
}

std::atomic<pid_t> adoptedPid{0};
std::atomic<pid_t> adoptedTid{0};

pid_t currentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool refuseOffMain(const char *operation) {
    if (MainRunLoop::isMainThread()) {
        return false;
    }
    SystemLog::write(std::string("[dispatch] MainRunLoop::") + operation +
                     " called off the main thread; nothing was run");
    return true;
}

// Takes the next block, waiting at most until `until` for one to arrive.
// Answers an empty block when none came.
Block takeNext(Clock::time_point until) {
    LoopState &loop = state();
    std::unique_lock<std::mutex> lock(loop.mutex);
    if (loop.items.empty()) {
        const unsigned long seen = loop.wakeups;
        loop.changed.wait_until(lock, until, [&] { return !loop.items.empty() || loop.wakeups != seen; });
        if (loop.items.empty()) {
            return nullptr;
        }
    }
    Block block = std::move(loop.items.front());
    loop.items.pop_front();
    return block;
}

}  // namespace

void MainRunLoop::adoptCurrentThreadAsMain() {
    adoptedPid.store(::getpid());
    adoptedTid.store(currentTid());
}

bool MainRunLoop::isMainThread() {
    const pid_t pid = ::getpid();
    const pid_t adopted = adoptedTid.load();
    if (adopted != 0 && adoptedPid.load() == pid) {
        return currentTid() == adopted;
    }
    return currentTid() == pid;
}

void MainRunLoop::enqueue(Block block) {
    if (!block) {
        return;
    }
    LoopState &loop = state();
    std::lock_guard<std::mutex> lock(loop.mutex);
    loop.items.push_back(std::move(block));
    loop.changed.notify_all();
}

bool MainRunLoop::runUntil(const std::function<bool()> &predicate, double timeoutSeconds) {
    auto holds = [&] { return predicate && predicate(); };
    if (refuseOffMain("runUntil")) {
        return holds();
    }
    const std::optional<Clock::time_point> deadline = deadlineAfter(timeoutSeconds);
    constexpr auto kSlice = std::chrono::milliseconds(10);
    for (;;) {
        if (holds()) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline) {
            return false;
        }
        Clock::time_point until = now + kSlice;
        if (deadline && *deadline < until) {
            until = *deadline;
        }
        if (Block block = takeNext(until)) {
            block();
        }
    }
}

std::size_t MainRunLoop::runPending() {
    if (refuseOffMain("runPending")) {
        return 0;
    }
    LoopState &loop = state();
    std::size_t count;
    {
        std::lock_guard<std::mutex> lock(loop.mutex);
        count = loop.items.size();
    }
    std::size_t ran = 0;
    for (; ran < count; ++ran) {
        Block block;
        {
            std::lock_guard<std::mutex> lock(loop.mutex);
            if (loop.items.empty()) {
                break;  // a nested pump ran them
            }
            block = std::move(loop.items.front());
            loop.items.pop_front();
        }
        block();
    }
    return ran;
}

void MainRunLoop::run() {
    if (refuseOffMain("run")) {
        return;
    }
    LoopState &loop = state();
    for (;;) {
        Block block;
        {
            std::unique_lock<std::mutex> lock(loop.mutex);
            loop.changed.wait(lock, [&] { return !loop.items.empty() || loop.stopRequested; });
            if (loop.stopRequested) {
                loop.stopRequested = false;
                return;
            }
            block = std::move(loop.items.front());
            loop.items.pop_front();
        }
        block();
    }
}

void MainRunLoop::stop() {
    LoopState &loop = state();
    std::lock_guard<std::mutex> lock(loop.mutex);
    loop.stopRequested = true;
    loop.changed.notify_all();
}

void MainRunLoop::wakeUp() {
    LoopState &loop = state();
    std::lock_guard<std::mutex> lock(loop.mutex);
    ++loop.wakeups;
    loop.changed.notify_all();
}

}  // namespace platform::dispatch
