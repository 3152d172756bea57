#include <gtest/gtest.h>

#include <thread>

#include "WaitSupport.h"
#include "platform/dispatch/Semaphore.h"

using namespace platform::dispatch;

TEST(SemaphoreTests, WaitTimesOutWithNonZeroAndNotBeforeItsTimeout) {
    auto semaphore = Semaphore::create(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(semaphore->wait(0.05), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    start = std::chrono::steady_clock::now();
    EXPECT_NE(semaphore->wait(std::chrono::nanoseconds(20'000'000)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

    EXPECT_NE(semaphore->wait(0.0), 0);
    EXPECT_NE(semaphore->wait(-1.0), 0);
}

TEST(SemaphoreTests, SignalsAreCountedAndWakeWaiters) {
    auto semaphore = Semaphore::create(2);
    EXPECT_EQ(semaphore->wait(0.0), 0);
    EXPECT_EQ(semaphore->wait(0.0), 0);
    EXPECT_NE(semaphore->wait(0.0), 0);

    // A signal before the wait is kept for it (the processing gate relies on
    // this: signal once, then every later wait-and-resignal passes).
    semaphore->signal();
    EXPECT_EQ(semaphore->wait(), 0);

    std::thread signaller([&] { semaphore->signal(); });
    EXPECT_EQ(semaphore->wait(kForever), 0);
    signaller.join();

    // Each signal releases exactly one of several waiters.
    constexpr int kWaiters = 4;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (semaphore->wait(dispatchtests::kPatience) == 0) {
                ++woken;
            }
        });
    }
    for (int i = 0; i < kWaiters; ++i) {
        semaphore->signal();
    }
    for (auto &waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken, kWaiters);
    EXPECT_NE(semaphore->wait(0.0), 0);
}
