// The notification center: filtering, removal (also from inside a
// block), re-entrant posting, and posting from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/foundation/NotificationCenter.h"

using namespace platform;

namespace {

class Watcher : public Object {
public:
    std::string className() const override { return "Watcher"; }
};

}  // namespace

TEST(NotificationCenterTest, DeliversByNameAndObjectUntilRemoved) {
    NotificationCenter center;
    auto watcher = std::make_shared<Watcher>();
    auto other = std::make_shared<Watcher>();
    std::vector<std::string> seen;
    auto byName = center.addObserverForName("Changed", nullptr, [&](const Notification &n) {
        seen.push_back("name:" + n.userInfo().at("state").description());
    });
    center.addObserverForName("Changed", watcher.get(), [&](const Notification &n) {
        EXPECT_EQ(n.object(), watcher);
        seen.push_back("object");
    });
    center.addObserverForName(std::nullopt, nullptr, [&](const Notification &n) { seen.push_back("any:" + n.name()); });

    center.postNotificationName("Changed", watcher, {{"state", Value(1)}});
    center.postNotificationName("Changed", other, {{"state", Value(2)}});
    center.postNotificationName("Other");
    EXPECT_EQ(seen,
              (std::vector<std::string>{"name:1", "object", "any:Changed", "name:2", "any:Changed", "any:Other"}));

    seen.clear();
    center.removeObserver(byName);
    center.removeObserver(byName);  // twice is harmless
    center.postNotificationName("Changed", watcher, {{"state", Value(3)}});
    EXPECT_EQ(seen, (std::vector<std::string>{"object", "any:Changed"}));
    EXPECT_NE(NotificationCenter::defaultCenter(), nullptr);
    EXPECT_EQ(NotificationCenter::defaultCenter(), NotificationCenter::defaultCenter());
}

TEST(NotificationCenterTest, AnObserverIsRemovedWithAllItsObservationsEvenFromInsideABlock) {
    NotificationCenter center;
    int owner = 0;
    int calls = 0, laterCalls = 0, nestedCalls = 0;
    center.addObserver(&owner, "A", nullptr, [&](const Notification &) {
        ++calls;
        // Re-entrant use: the center's lock is not held while blocks run.
        center.removeObserver(&owner);
        center.addObserverForName("Nested", nullptr, [&](const Notification &) { ++nestedCalls; });
        center.postNotificationName("Nested");
    });
    // Removed by the first block before its turn in the same post.
    center.addObserver(&owner, "A", nullptr, [&](const Notification &) { ++laterCalls; });
    center.postNotificationName("A");
    center.postNotificationName("A");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_EQ(nestedCalls, 1);
}

TEST(NotificationCenterTest, PostsFromManyThreadsReachEveryObserver) {
    NotificationCenter center;
    std::atomic<int> received{0};
    for (int i = 0; i < 4; ++i) center.addObserverForName("Tick", nullptr, [&](const Notification &) { ++received; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                center.postNotificationName("Tick");
                auto token = center.addObserverForName("Unrelated", nullptr, [](const Notification &) {});
                center.removeObserver(token);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(received, 8 * 500 * 4);
}
