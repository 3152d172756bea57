#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "BCDispatcherUtil.h"
#include "BCUtility.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/dispatch/Semaphore.h"

using platform::dispatch::MainRunLoop;

TEST(BCDispatcherUtil, MainThreadBlocksAlwaysRunLaterFromTheRunLoop) {
    MainRunLoop::adoptCurrentThreadAsMain();
    bool ran = false;
    BCDispatcherUtil::performBlockOnMainThread([&] {
        EXPECT_TRUE(MainRunLoop::isMainThread());
        ran = true;
    });
    EXPECT_FALSE(ran);  // deferred even though this is the main thread
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return ran; }, 5));
}

TEST(BCDispatcherUtil, SyncWithTimeoutWaitsForTheBlockOrTheTimeout) {
    auto queue = platform::dispatch::Queue::createSerial("test.sync");
    int value = 0;
    BCDispatcherUtil::dispatchSyncWithTimeout(5, queue, [&] { value = 1; });
    EXPECT_EQ(value, 1);

    // A block that outlives the timeout finishes later without touching the
    // returned waiter.
    auto release = platform::dispatch::Semaphore::create(0);
    auto finished = platform::dispatch::Semaphore::create(0);
    BCDispatcherUtil::dispatchSyncWithTimeout(0.05, queue, [release, finished] {
        release->wait(platform::dispatch::kForever);
        finished->signal();
    });
    release->signal();
    EXPECT_EQ(finished->wait(5), 0);
}

TEST(BCUtilityApplicationState, UnknownOffTheMainThreadAndHiddenIsBackground) {
    MainRunLoop::adoptCurrentThreadAsMain();
    BCApplicationState offMain = BCApplicationStateActive;
    std::thread([&] { offMain = BCUtility::applicationState(); }).join();
    EXPECT_EQ(offMain, BCApplicationStateUnknown);
    EXPECT_EQ(BCUtility::applicationState(), BCApplicationStateActive);
    BCUtility::sharedApp()->hide();
    EXPECT_EQ(BCUtility::applicationState(), BCApplicationStateBackground);
    BCUtility::sharedApp()->unhide();
}
