#include <gtest/gtest.h>

#include <thread>

#include "BCBeaconUserDefaults.h"
#include "BCDeviceHistoryInfo.h"
#include "BCSessionHistoryInfo.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

namespace {

platform::Date at(const char *iso) { return *BCUtility::dateFromISO8601(iso); }

std::vector<std::shared_ptr<BCUserIdHistoryInfo>> storedHistory() {
    platform::Value stored = BCBeaconUserDefaults::shared()->objectForKey("UserIdHistory");
    std::vector<std::shared_ptr<BCUserIdHistoryInfo>> entries;
    if (!stored.data()) return entries;
    platform::Value decoded = BCUtility::unarchiveKeyedData(*stored.data());
    for (const auto &item : *decoded.array()) entries.push_back(item.objectAs<BCUserIdHistoryInfo>());
    return entries;
}

std::string repeat(const std::string &unit, size_t count) {
    std::string s;
    for (size_t i = 0; i < count; ++i) s += unit;
    return s;
}

}  // namespace

TEST(BCUserIdContext, EveryLaunchStoresAnEntryAndLookupsFindTheEarlierLaunch) {
    modeltest::SdkHome home;
    auto context = BCUserIdContext::sharedInstance();
    ASSERT_EQ(storedHistory().size(), 1u) << "creating the context stores its entry at once";
    context->setUserId("alice");
    home.relaunch();
    context = BCUserIdContext::sharedInstance();
    EXPECT_EQ(context->userId(), std::nullopt);
    auto history = storedHistory();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0]->userId, "alice");
    EXPECT_EQ(history[1]->userId, std::nullopt);
    ASSERT_LT(history[0]->timestamp, history[1]->timestamp);
    auto between = history[0]->timestamp.dateByAddingTimeInterval(
        history[1]->timestamp.timeIntervalSinceDate(history[0]->timestamp) / 2);
    EXPECT_EQ(context->userIdAt(between), "alice");
    EXPECT_EQ(context->userIdAt(history[0]->timestamp), std::nullopt) << "strictly earlier only";
    EXPECT_EQ(context->userIdAt(history[1]->timestamp), "alice");
    EXPECT_EQ(context->userIdAt(history[1]->timestamp.dateByAddingTimeInterval(1)), std::nullopt);
}

TEST(BCUserIdContext, SameIdTwiceChangesNothingAndNilRecordsAnEntry) {
    modeltest::SdkHome home;
    auto context = BCUserIdContext::sharedInstance();
    int calls = 0;
    std::optional<std::string> told;
    auto delegate = std::make_shared<BCUserIdContextDelegate>();
    delegate->userIdContextDidUpdateUserId = [&](BCUserIdContext &, const std::optional<std::string> &id) {
        ++calls;
        told = id;
    };
    context->addDelegate(delegate);
    context->addDelegate(delegate);
    auto silent = std::make_shared<BCUserIdContextDelegate>();  // responds to nothing
    context->addDelegate(silent);

    context->setUserId("bob");
    EXPECT_EQ(calls, 1) << "a delegate added twice is told once";
    EXPECT_EQ(told, "bob");
    auto stamp = context->userIdHistory().back()->timestamp;
    context->setUserId("bob");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(context->userIdHistory().back()->timestamp, stamp);

    context->setUserId(std::nullopt);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(told, std::nullopt);
    EXPECT_EQ(storedHistory().back()->userId, std::nullopt);
    context->setUserId(std::nullopt);
    EXPECT_EQ(calls, 2) << "nil after nil is no change";

    context->removeDelegate(delegate);
    context->setUserId("carol");
    EXPECT_EQ(calls, 2);
    context->addDelegate(delegate);
    delegate.reset();  // held weakly: a gone observer is not called
    context->setUserId("dave");
    EXPECT_EQ(calls, 2);
}

TEST(BCUserIdContext, ObserversAreCalledOutsideTheLock) {
    modeltest::SdkHome home;
    auto context = BCUserIdContext::sharedInstance();
    auto delegate = std::make_shared<BCUserIdContextDelegate>();
    std::optional<std::string> seen;
    delegate->userIdContextDidUpdateUserId = [&](BCUserIdContext &c, const std::optional<std::string> &) {
        // Another thread can use the context while the observer runs.
        std::thread other([&] { seen = c.userIdAt(platform::Date::distantFuture()); });
        other.join();
    };
    context->addDelegate(delegate);
    context->setUserId("erin");
    EXPECT_EQ(seen, "erin");
}

TEST(BCUserIdContext, ClearKeepsTheCurrentEntry) {
    modeltest::SdkHome home;
    BCUserIdContext::sharedInstance()->setUserId("old");
    home.relaunch();
    auto context = BCUserIdContext::sharedInstance();
    context->setUserId("new");
    EXPECT_EQ(storedHistory().size(), 2u);
    context->clearUserIdHistory();
    auto history = storedHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]->userId, "new");
    EXPECT_EQ(context->userIdAt(platform::Date::distantFuture()), "new");
    EXPECT_EQ(context->userIdAt(at("2000-01-01T00:00:00.000Z")), std::nullopt);
}

TEST(BCUserIdContext, UnreadableHistoryIsTreatedAsEmpty) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    class BadEntry : public BCUserIdHistoryInfo {
    public:
        using BCUserIdHistoryInfo::BCUserIdHistoryInfo;
        void encodeWithCoder(platform::KeyedArchiver &coder) const override {
            coder.encodeObject(platform::Value("not a date"), "timestampKey");
            coder.encodeObject(userId, "userIdKey");
        }
    };
    auto data = BCUtility::archiveKeyedData(
        platform::Array{platform::Value(std::make_shared<BadEntry>(at("2026-01-01T10:00:00.000Z"), "x"))});
    ASSERT_TRUE(data);
    BCBeaconUserDefaults::shared()->setObject(platform::Value(*data), "UserIdHistory");
    home.relaunch();
    EXPECT_EQ(BCUserIdContext::sharedInstance()->userIdHistory().size(), 1u);
    EXPECT_TRUE(capture.contains(BCLogLevelDebug, "0 userId(s) in the history."));
}

TEST(BCUserIdContext, BeaconLengthLimitCountsUtf16Units) {
    modeltest::LogCapture capture;
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForBeacon(std::nullopt));
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForBeacon(""));
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForBeacon(repeat("a", 256)));
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_FALSE(BCUserIdContext::isUserIdValidForBeacon(repeat("a", 257)));
    EXPECT_TRUE(capture.contains(BCLogLevelError, "userId is limited to 256 characters."));
    // Two-byte characters count once, characters outside the BMP twice.
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForBeacon(repeat("\xC3\xA9", 256)));
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForBeacon(repeat("\xF0\x9F\x98\x80", 128)));
    EXPECT_FALSE(BCUserIdContext::isUserIdValidForBeacon(repeat("\xF0\x9F\x98\x80", 128) + "a"));
}

TEST(BCUserIdContext, EventCollectorRulesAndPrefix) {
    modeltest::LogCapture capture;
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForEventCollector(std::nullopt));
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForEventCollector("alice"));
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForEventCollector("c:alice"));
    EXPECT_TRUE(BCUserIdContext::isUserIdValidForEventCollector("c:a:b"));
    EXPECT_TRUE(capture.lines().empty());

    EXPECT_FALSE(BCUserIdContext::isUserIdValidForEventCollector("c:"));
    EXPECT_TRUE(capture.contains(BCLogLevelError, "userId must not be empty."));
    capture.clear();
    EXPECT_FALSE(BCUserIdContext::isUserIdValidForEventCollector(""));
    EXPECT_TRUE(capture.contains(BCLogLevelError, "userId must not be empty."));
    capture.clear();
    EXPECT_FALSE(BCUserIdContext::isUserIdValidForEventCollector("x:alice"));
    EXPECT_TRUE(capture.contains(BCLogLevelError, "userId prefix must be 'c', 'x' is not supported."));
    capture.clear();
    EXPECT_FALSE(BCUserIdContext::isUserIdValidForEventCollector(":alice"));
    EXPECT_TRUE(capture.contains(BCLogLevelError, "userId prefix must be 'c', '' is not supported."));
    EXPECT_FALSE(BCUserIdContext::isUserIdValidForEventCollector("cc:alice"));

    EXPECT_EQ(BCUserIdContext::prefixedUserIdFromUserId(std::nullopt), std::nullopt);
    EXPECT_EQ(BCUserIdContext::prefixedUserIdFromUserId("alice"), "c:alice");
    EXPECT_EQ(BCUserIdContext::prefixedUserIdFromUserId(""), "c:");
    EXPECT_EQ(BCUserIdContext::prefixedUserIdFromUserId("c:alice"), "c:alice");
    EXPECT_EQ(BCUserIdContext::prefixedUserIdFromUserId("x:alice"), "x:alice");
}

TEST(BCHistoryInfo, EntriesRoundTripIncludingOldNames) {
    BCUtility::addMigrationClasses({{"BNDeviceHistoryInfo", "BCDeviceHistoryInfo"},
                                    {"BNUserIdHistoryInfo", "BCUserIdHistoryInfo"},
                                    {"BNSessionHistoryInfo", "BCSessionHistoryInfo"},
                                    {"BNDevice", "BCDevice"}});
    class OldDeviceInfo : public BCDeviceHistoryInfo {
    public:
        using BCDeviceHistoryInfo::BCDeviceHistoryInfo;
        std::string className() const override { return "BNDeviceHistoryInfo"; }
    };
    class OldUserIdInfo : public BCUserIdHistoryInfo {
    public:
        using BCUserIdHistoryInfo::BCUserIdHistoryInfo;
        std::string className() const override { return "BNUserIdHistoryInfo"; }
    };
    class OldSessionInfo : public BCSessionHistoryInfo {
    public:
        using BCSessionHistoryInfo::BCSessionHistoryInfo;
        std::string className() const override { return "BNSessionHistoryInfo"; }
    };
    auto stamp = at("2026-03-04T05:06:07.089Z");
    for (bool old : {false, true}) {
        std::shared_ptr<BCDeviceHistoryInfo> info =
            old ? std::make_shared<OldDeviceInfo>(stamp, modeltest::validDevice())
                : std::make_shared<BCDeviceHistoryInfo>(stamp, modeltest::validDevice());
        auto decoded = modeltest::roundTrip(info).objectAs<BCDeviceHistoryInfo>();
        ASSERT_TRUE(decoded) << old;
        EXPECT_EQ(decoded->className(), "BCDeviceHistoryInfo");
        EXPECT_EQ(decoded->timestamp, stamp);
        ASSERT_TRUE(decoded->device);
        EXPECT_TRUE(decoded->device->isEqual(*modeltest::validDevice()));

        std::shared_ptr<BCUserIdHistoryInfo> user =
            old ? std::make_shared<OldUserIdInfo>(stamp, "u") : std::make_shared<BCUserIdHistoryInfo>(stamp, "u");
        auto decodedUser = modeltest::roundTrip(user).objectAs<BCUserIdHistoryInfo>();
        ASSERT_TRUE(decodedUser) << old;
        EXPECT_EQ(decodedUser->className(), "BCUserIdHistoryInfo");
        EXPECT_EQ(decodedUser->timestamp, stamp);
        EXPECT_EQ(decodedUser->userId, "u");

        std::shared_ptr<BCSessionHistoryInfo> session =
            old ? std::make_shared<OldSessionInfo>(stamp, std::nullopt)
                : std::make_shared<BCSessionHistoryInfo>(stamp, std::nullopt);
        auto decodedSession = modeltest::roundTrip(session).objectAs<BCSessionHistoryInfo>();
        ASSERT_TRUE(decodedSession) << old;
        EXPECT_EQ(decodedSession->className(), "BCSessionHistoryInfo");
        EXPECT_EQ(decodedSession->timestamp, stamp);
        EXPECT_EQ(decodedSession->sessionId, std::nullopt);
    }
}

TEST(BCUserIdContext, AnIdThatIsNotUTF8IsRefusedAndTheHistorySurvives) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCUserIdContext::sharedInstance()->setUserId("alice");
    BCUserIdContext::sharedInstance()->setUserId(std::string("\xc3\x28"));
    EXPECT_EQ(BCUserIdContext::sharedInstance()->userId(), "alice");
    EXPECT_TRUE(capture.contains(BCLogLevelError, "The userId \"\xEF\xBF\xBD(\" is not UTF-8 text; it is not stored."));
    home.relaunch();
    auto history = BCUserIdContext::sharedInstance()->userIdHistory();
    ASSERT_EQ(history.size(), 2u) << "the earlier launch's entry and this launch's";
    EXPECT_EQ(history[0]->userId, "alice");
}
