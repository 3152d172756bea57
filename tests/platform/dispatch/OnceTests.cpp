#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "WaitSupport.h"
#include "platform/dispatch/Once.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::dispatch;
using dispatchtests::Gate;

TEST(OnceTests, RunsOnceUnderConcurrencyAndAgainAfterReset) {
    Once once;
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    std::atomic<int> returnedEarly{0};
    Gate start;
    auto body = [&] {
        ++runs;
        // Give the other callers time to pile up on the guard.
        for (int i = 0; i < 1000; ++i) {
            std::this_thread::yield();
        }
        finished = true;
    };
    for (int round = 1; round <= 2; ++round) {
        finished = false;
        std::vector<std::thread> callers;
        for (int t = 0; t < 16; ++t) {
            callers.emplace_back([&] {
                start.pass();
                once.call(body);
                if (!finished) {
                    ++returnedEarly;  // returned before the block had run
                }
            });
        }
        start.open();
        for (auto &caller : callers) {
            caller.join();
        }
        EXPECT_EQ(runs, round);
        EXPECT_EQ(returnedEarly, 0);
        EXPECT_TRUE(once.hasRun());
        once.call(body);
        EXPECT_EQ(runs, round);
        once.reset();
        EXPECT_FALSE(once.hasRun());
    }
}

TEST(OnceTests, EmptyThrowingAndRecursiveBlocksLeaveItUsable) {
    Once once;
    once.call(Block{});
    EXPECT_FALSE(once.hasRun());

    EXPECT_THROW(once.call([] { throw std::runtime_error("init failed"); }), std::runtime_error);
    EXPECT_FALSE(once.hasRun());

    platform::SystemLog::setSink([](const std::string &) {});
    int outer = 0;
    int inner = 0;
    once.call([&] {
        ++outer;
        once.call([&] { ++inner; });  // would deadlock: ignored
    });
    platform::SystemLog::setSink(nullptr);
    EXPECT_EQ(outer, 1);
    EXPECT_EQ(inner, 0);
    EXPECT_TRUE(once.hasRun());

    // A reset from inside the block leaves the guard armed afterwards.
    once.reset();
    once.call([&] { once.reset(); });
    EXPECT_FALSE(once.hasRun());
}

TEST(OnceTests, ResetWaitsForARunningBlock) {
    Once once;
    Gate entered;
    Gate release;
    std::atomic<bool> blockDone{false};
    std::thread runner([&] {
        once.call([&] {
            entered.open();
            release.pass();
            blockDone = true;
        });
    });
    ASSERT_TRUE(entered.pass());
    std::atomic<bool> blockDoneAtReset{false};
    Gate resetting;
    std::thread resetter([&] {
        resetting.open();
        once.reset();
        blockDoneAtReset = blockDone.load();
    });
    ASSERT_TRUE(resetting.pass());
    release.open();
    runner.join();
    resetter.join();
    EXPECT_TRUE(blockDoneAtReset);
    EXPECT_FALSE(once.hasRun());
}
