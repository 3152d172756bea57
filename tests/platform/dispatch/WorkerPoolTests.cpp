// The worker pool's size: as many workers as the work needs, no more.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "WaitSupport.h"
#include "platform/dispatch/WorkerPool.h"

using dispatchtests::Counter;
using platform::dispatch::WorkerPool;

namespace {

// Pools are never destroyed (their detached workers and stall checks keep
// them), so each test's pool is left behind, as the queues' pools are; this
// list keeps them reachable, so that the leak checker does not count them.
WorkerPool *makePool(std::size_t maxThreads, std::size_t eagerThreads) {
    static auto *pools = new std::vector<WorkerPool *>;  // outlives the static destructors
    pools->push_back(new WorkerPool("test.pool", maxThreads, std::chrono::milliseconds(200), eagerThreads));
    return pools->back();
}

// Waits until the pool has no thread left; answers whether it happened in time.
bool drainsToNoThread(const WorkerPool &pool) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(dispatchtests::kPatience);
    while (pool.threadCount() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pool.threadCount() == 0;
}

}  // namespace

TEST(WorkerPoolTests, AFloodOfJobsThatKeepMovingUsesTheEagerWorkersOnlyAndIdleOnesExit) {
    WorkerPool &pool = *makePool(64, 2);
    constexpr int kJobs = 200;
    Counter done;
    std::atomic<std::size_t> mostThreads{0};
    for (int i = 0; i < kJobs; ++i) {
        pool.submit([&] {
            // A millisecond of work each: with a thread per waiting job the
            // pool would grow to its limit while they are queued.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::size_t now = pool.threadCount();
            std::size_t seen = mostThreads.load();
            while (now > seen && !mostThreads.compare_exchange_weak(seen, now)) {}
            done.add();
        });
    }
    ASSERT_TRUE(done.waitFor(kJobs));
    // Two eager workers, and a few more only if both stalled on a busy machine.
    EXPECT_LE(mostThreads.load(), 8u);
    EXPECT_TRUE(drainsToNoThread(pool));

    // An idle pool starts again at the next job.
    pool.submit([&] { done.add(); });
    EXPECT_TRUE(done.waitFor(kJobs + 1));
    EXPECT_TRUE(drainsToNoThread(pool));
}

TEST(WorkerPoolTests, BlockedWorkersGetCompanyBeyondTheEagerLimitUpToTheMaximum) {
    // Each job waits until all have started: only a worker each lets them
    // finish, so the pool must grow past its two eager workers.
    WorkerPool &pool = *makePool(10, 2);
    constexpr int kJobs = 10;
    Counter started;
    Counter finished;
    std::atomic<int> timedOut{0};
    for (int i = 0; i < kJobs; ++i) {
        pool.submit([&] {
            started.add();
            if (!started.waitFor(kJobs)) ++timedOut;
            finished.add();
        });
    }
    ASSERT_TRUE(finished.waitFor(kJobs));
    EXPECT_EQ(timedOut.load(), 0);

    // At its maximum, a further job waits for a worker to come free.
    WorkerPool &small = *makePool(1, 1);
    dispatchtests::Gate gate;
    Counter ran;
    small.submit([&] {
        gate.pass();
        ran.add();
    });
    small.submit([&] { ran.add(); });
    EXPECT_FALSE(ran.waitFor(1, 0.1));
    EXPECT_EQ(small.threadCount(), 1u);
    gate.open();
    EXPECT_TRUE(ran.waitFor(2));
    EXPECT_TRUE(drainsToNoThread(pool));
}
