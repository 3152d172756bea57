#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "WaitSupport.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::dispatch;
using dispatchtests::Counter;

namespace {

class MainRunLoopTests : public ::testing::Test {
protected:
    void SetUp() override {
        // Work left behind by earlier tests must not count for this one.
        while (MainRunLoop::runPending() > 0) {}
        platform::SystemLog::setSink([](const std::string &) {});
    }
    void TearDown() override { platform::SystemLog::setSink(nullptr); }
};

}  // namespace

TEST_F(MainRunLoopTests, MainQueueWorkRunsOnlyWhenPumpedOnThePumpingThreadInOrder) {
    ASSERT_TRUE(isMainThread());
    std::vector<int> order;  // touched only on the main thread
    std::atomic<bool> offMain{false};
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            async(mainQueue(), [&, i] {
                if (!isMainThread()) {
                    offMain = true;
                }
                order.push_back(i);
            });
        }
    });
    producer.join();
    EXPECT_TRUE(order.empty());  // queued, but nobody pumped

    EXPECT_EQ(MainRunLoop::runPending(), 100u);
    EXPECT_FALSE(offMain);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
    }

    // Blocks queued by a running block wait for the next pump.
    int nested = 0;
    async(mainQueue(), [&] { async(mainQueue(), [&] { ++nested; }); });
    EXPECT_EQ(MainRunLoop::runPending(), 1u);
    EXPECT_EQ(nested, 0);
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return nested == 1; }, dispatchtests::kPatience));
}

TEST_F(MainRunLoopTests, IsMainThreadOnlyOnTheMainThread) {
    EXPECT_TRUE(isMainThread());
    EXPECT_TRUE(mainQueue()->isCurrent());
    bool onThread = true;
    std::thread([&] { onThread = isMainThread(); }).join();
    EXPECT_FALSE(onThread);
    std::atomic<int> onGlobal{-1};
    Counter done;
    async(globalQueue(), [&] {
        onGlobal = isMainThread() ? 1 : 0;
        done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(onGlobal, 0);
    bool onSerial = true;
    sync(Queue::createSerial("test.main.serial"), [&] { onSerial = isMainThread(); });
    EXPECT_FALSE(onSerial);
}

TEST_F(MainRunLoopTests, SyncOntoTheMainQueue) {
    // From the main thread the block runs at once.
    bool ran = false;
    sync(mainQueue(), [&] { ran = true; });
    EXPECT_TRUE(ran);

    // From another thread it waits for the main thread to pump.
    std::atomic<bool> syncReturned{false};
    std::atomic<bool> ranOnMain{false};
    std::thread caller([&] {
        sync(mainQueue(), [&] { ranOnMain = isMainThread(); });
        syncReturned = true;
        MainRunLoop::wakeUp();
    });
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return syncReturned.load(); }, dispatchtests::kPatience));
    caller.join();
    EXPECT_TRUE(ranOnMain);

    // The main thread waiting in sync for a queue whose block syncs back to
    // the main queue would deadlock: that block runs inline instead.
    bool inner = false;
    sync(Queue::createSerial("test.main.back"), [&] { sync(mainQueue(), [&] { inner = true; }); });
    EXPECT_TRUE(inner);
}

TEST_F(MainRunLoopTests, RunUntilHonoursItsTimeoutAndPumpingOffMainIsRefused) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_FALSE(MainRunLoop::runUntil(nullptr, 0.0));

    bool ran = false;
    async(mainQueue(), [&] { ran = true; });
    std::thread([&] {
        EXPECT_EQ(MainRunLoop::runPending(), 0u);
        EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 0.0));
        MainRunLoop::run();  // refused: returns at once
    }).join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(MainRunLoop::runPending(), 1u);
    EXPECT_TRUE(ran);
}

TEST_F(MainRunLoopTests, RunReturnsAfterStopAndAnEarlyStopIsNotLost) {
    std::vector<int> order;
    async(mainQueue(), [&] { order.push_back(1); });
    async(mainQueue(), [&] {
        order.push_back(2);
        std::thread([] { MainRunLoop::stop(); }).detach();
    });
    MainRunLoop::run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    MainRunLoop::stop();
    MainRunLoop::run();  // returns at once
    SUCCEED();
}

namespace {

// A second thread adopts the main role in a fresh process. Answers the number
// of failed checks.
int adoptionChild() {
    int failures = 0;
    std::thread adopted([&] {
        MainRunLoop::adoptCurrentThreadAsMain();
        failures += isMainThread() ? 0 : 1;
        bool ranOnMain = false;
        async(mainQueue(), [&] { ranOnMain = isMainThread(); });
        failures += MainRunLoop::runUntil([&] { return ranOnMain; }, 5.0) ? 0 : 1;
    });
    adopted.join();
    failures += isMainThread() ? 1 : 0;                  // the initial thread no longer is
    failures += MainRunLoop::runPending() == 0 ? 0 : 1;  // and may not pump
    return failures;
}

[[maybe_unused]] const bool adoptionChildRan = dispatchtests::runChildRole("adoption", adoptionChild);

}  // namespace

TEST(MainRunLoopChildTests, AnAdoptedThreadBecomesTheMainThread) {
    // Adoption changes the whole process: it is tested in a child process.
    EXPECT_EQ(dispatchtests::spawnChildRole("adoption"), dispatchtests::kChildPassed);
    EXPECT_TRUE(isMainThread());  // unchanged in this process
}
