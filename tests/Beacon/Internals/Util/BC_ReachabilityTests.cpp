// The reachability watcher and its notification, through the flags seam.
#include <gtest/gtest.h>

#include <atomic>

#include "BC_Reachability.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/NotificationCenter.h"

using namespace platform::reachability;
using platform::dispatch::MainRunLoop;

TEST(BC_ReachabilityTests, StatusForFlags) {
    EXPECT_EQ(BC_Reachability::networkStatusForFlags(kFlagsReachable), ReachableViaWiFi);
    EXPECT_EQ(BC_Reachability::networkStatusForFlags(kFlagsReachable | kFlagsConnectionRequired), NotReachable);
    EXPECT_EQ(
        BC_Reachability::networkStatusForFlags(kFlagsReachable | kFlagsConnectionRequired | kFlagsConnectionOnDemand),
        ReachableViaWiFi);
    EXPECT_EQ(
        BC_Reachability::networkStatusForFlags(kFlagsReachable | kFlagsConnectionRequired | kFlagsConnectionOnTraffic),
        ReachableViaWiFi);
    EXPECT_EQ(BC_Reachability::networkStatusForFlags(kFlagsReachable | kFlagsConnectionRequired |
                                                     kFlagsConnectionOnDemand | kFlagsInterventionRequired),
              NotReachable);
    EXPECT_EQ(BC_Reachability::networkStatusForFlags(~kFlagsReachable), NotReachable);
}

TEST(BC_ReachabilityTests, NotifierPostsAtStartAndOnChangesAndNotAfterTheWatcherIsGone) {
    std::atomic<Flags> flags{kFlagsReachable | kFlagsConnectionRequired};
    NetworkReachability::setFlagsProviderForTesting(
        [&](const NetworkReachability &) { return std::optional(flags.load()); });
    auto watcher = BC_Reachability::reachabilityForInternetConnection();
    ASSERT_TRUE(watcher);
    EXPECT_EQ(watcher->currentReachabilityStatus(), NotReachable);
    EXPECT_TRUE(watcher->connectionRequired());

    std::vector<BCNetworkStatus> statuses;
    auto center = platform::NotificationCenter::defaultCenter();
    auto token = center->addObserverForName(
        kBNNetworkReachabilityChangedNotification, watcher.get(), [&](const platform::Notification &notification) {
            auto object = std::dynamic_pointer_cast<BC_Reachability>(notification.object());
            statuses.push_back(object->currentReachabilityStatus());
        });
    watcher->startNotifier();
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return statuses.size() == 1; }, 10));

    flags = kFlagsReachable;
    NetworkReachability::simulateNetworkChangeForTesting();
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return statuses.size() == 2; }, 10));
    EXPECT_EQ(statuses, (std::vector<BCNetworkStatus>{NotReachable, ReachableViaWiFi}));

    // A change after the watcher is gone reaches nobody, and nothing breaks.
    watcher.reset();
    flags = 0;
    NetworkReachability::simulateNetworkChangeForTesting();
    MainRunLoop::runPending();
    MainRunLoop::runPending();
    EXPECT_EQ(statuses.size(), 2u);
    center->removeObserver(token);
    NetworkReachability::setFlagsProviderForTesting(nullptr);
}

TEST(BC_ReachabilityTests, InternetWatcherFollowsTheMachine) {
    auto watcher = BC_Reachability::reachabilityForInternetConnection();
    ASSERT_TRUE(watcher);
    Flags flags = 0;
    bool readable = watcher->reachabilityRef()->getFlags(&flags);
    EXPECT_EQ(watcher->currentReachabilityStatus(),
              readable ? BC_Reachability::networkStatusForFlags(flags) : NotReachable);
    EXPECT_TRUE(BC_Reachability::reachabilityWithHostName("127.0.0.1"));
    EXPECT_FALSE(BC_Reachability::reachabilityWithHostName(""));
}
