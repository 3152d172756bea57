#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WaitSupport.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::dispatch;
using dispatchtests::Counter;
using dispatchtests::Gate;

TEST(GroupTests, WaitAnswersWhetherTheGroupEmptiedInTime) {
    auto group = Group::create();
    EXPECT_TRUE(group->wait(0.0));  // empty from the start

    group->enter();
    group->enter();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(group->wait(0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_FALSE(group->wait(std::chrono::milliseconds(1)));

    std::thread leaver([&] {
        group->leave();
        group->leave();
    });
    EXPECT_TRUE(group->wait(dispatchtests::kPatience));
    leaver.join();

    // A leave without enter is ignored, not counted below zero.
    platform::SystemLog::setSink([](const std::string &) {});
    group->leave();
    platform::SystemLog::setSink(nullptr);
    group->enter();
    EXPECT_FALSE(group->wait(0.0));
    group->leave();
    EXPECT_TRUE(group->wait(0.0));
}

TEST(GroupTests, AsyncBlocksCountUntilTheyHaveRun) {
    auto group = Group::create();
    Gate gate;
    std::atomic<int> ran{0};
    for (int i = 0; i < 10; ++i) {
        async(group, globalQueue(), [&] {
            gate.pass();
            ++ran;
        });
    }
    async(group, globalQueue(), Block{});  // ignored: does not enter
    EXPECT_FALSE(group->wait(0.01));
    gate.open();
    ASSERT_TRUE(group->wait(dispatchtests::kPatience));
    EXPECT_EQ(ran, 10);
}

TEST(GroupTests, NotifyRunsOnceAfterTheLastLeave) {
    auto group = Group::create();
    auto queue = Queue::createSerial("test.group.notify");
    std::atomic<int> left{0};
    Counter notified;
    std::atomic<int> leftWhenNotified{-1};

    constexpr int kWorkers = 5;
    for (int i = 0; i < kWorkers; ++i) {
        group->enter();
    }
    group->notify(queue, [&] {
        leftWhenNotified = left.load();
        notified.add();
    });
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.emplace_back([&] {
            ++left;
            group->leave();
        });
    }
    for (auto &worker : workers) {
        worker.join();
    }
    ASSERT_TRUE(notified.waitFor(1));
    EXPECT_EQ(leftWhenNotified, kWorkers);

    // Emptying the group again does not repeat an old notification.
    group->enter();
    group->leave();
    sync(queue, [] {});
    EXPECT_EQ(notified.value(), 1);

    // Notify on an empty group queues the block at once.
    group->notify(queue, [&] { notified.add(); });
    EXPECT_TRUE(notified.waitFor(2));
}
