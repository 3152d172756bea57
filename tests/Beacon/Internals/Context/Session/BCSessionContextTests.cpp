#include <gtest/gtest.h>

#include "BCBeaconUserDefaults.h"
#include "BCSessionContext.h"
#include "BCUserIdHistoryInfo.h"
#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

namespace {

platform::Date at(const char *iso) { return *BCUtility::dateFromISO8601(iso); }

void storeHistory(const platform::Array &entries) {
    auto data = BCUtility::archiveKeyedData(platform::Value(entries));
    ASSERT_TRUE(data);
    BCBeaconUserDefaults::shared()->setObject(platform::Value(*data), "SessionIdHistory");
}

// The history as stored, or nothing when nothing is stored.
std::optional<std::vector<std::pair<double, std::optional<std::string>>>> storedHistory() {
    platform::Value stored = BCBeaconUserDefaults::shared()->objectForKey("SessionIdHistory");
    if (!stored.data()) return std::nullopt;
    platform::Value decoded = BCUtility::unarchiveKeyedData(*stored.data());
    std::vector<std::pair<double, std::optional<std::string>>> entries;
    for (const auto &item : *decoded.array()) {
        auto info = item.objectAs<BCSessionHistoryInfo>();
        entries.emplace_back(info->timestamp.timeIntervalSince1970(), info->sessionId);
    }
    return entries;
}

}  // namespace

TEST(BCSessionContext, LookupsByDateAtAndAroundEveryBoundary) {
    modeltest::SdkHome home;
    storeHistory({platform::Value(std::make_shared<BCSessionHistoryInfo>(at("2026-01-01T10:00:00.000Z"), "A")),
                  platform::Value(std::make_shared<BCSessionHistoryInfo>(at("2026-01-01T11:00:00.000Z"), "B"))});
    home.relaunch();
    auto context = BCSessionContext::sharedInstance();
    EXPECT_EQ(context->sessionHistory().size(), 3u) << "two stored entries and the running launch's";
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T09:00:00.000Z")), std::nullopt);
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T10:00:00.000Z")), std::nullopt) << "strictly earlier only";
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T10:00:00.001Z")), "A");
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T10:30:00.000Z")), "A");
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T11:00:00.000Z")), "A");
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T11:00:00.001Z")), "B");
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T11:30:00.000Z")), "B");
    // After the running launch began, its own (empty) id is current.
    auto launch = context->currentSessionInfo()->timestamp;
    EXPECT_EQ(context->sessionIdAt(launch), "B");
    EXPECT_EQ(context->sessionIdAt(launch.dateByAddingTimeInterval(1)), std::nullopt);
}

TEST(BCSessionContext, SettingTwiceInOneLaunchKeepsOneEntryAndStoresEachTime) {
    modeltest::SdkHome home;
    auto context = BCSessionContext::sharedInstance();
    EXPECT_EQ(storedHistory(), std::nullopt) << "creating the context stores nothing";
    context->setSessionId("s1");
    auto first = storedHistory();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);
    EXPECT_EQ((*first)[0].second, "s1");
    context->setSessionId("s2");
    auto second = storedHistory();
    ASSERT_TRUE(second);
    ASSERT_EQ(second->size(), 1u);
    EXPECT_EQ((*second)[0].second, "s2");
    EXPECT_GE((*second)[0].first, (*first)[0].first);
    EXPECT_EQ(context->sessionId(), "s2");
}

TEST(BCSessionContext, HistoryAcrossRelaunches) {
    modeltest::SdkHome home;
    BCSessionContext::sharedInstance()->setSessionId(std::nullopt);
    auto firstLaunch = BCSessionContext::sharedInstance()->currentSessionInfo()->timestamp;

    // A launch that neither sets nor clears adds nothing to the stored history.
    home.relaunch();
    (void)BCSessionContext::sharedInstance();
    home.relaunch();
    EXPECT_EQ(storedHistory()->size(), 1u);

    auto context = BCSessionContext::sharedInstance();
    EXPECT_EQ(context->sessionId(), std::nullopt) << "a new launch starts without a session id";
    context->setSessionId("s2");
    home.relaunch();
    auto history = BCSessionContext::sharedInstance()->sessionHistory();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0]->sessionId, std::nullopt);
    EXPECT_EQ(history[0]->timestamp.timeIntervalSince1970(), firstLaunch.timeIntervalSince1970());
    EXPECT_EQ(history[1]->sessionId, "s2");
    EXPECT_EQ(history[2]->sessionId, std::nullopt);
    ASSERT_LT(history[1]->timestamp, history[2]->timestamp);
    auto between = history[1]->timestamp.dateByAddingTimeInterval(
        history[2]->timestamp.timeIntervalSinceDate(history[1]->timestamp) / 2);
    EXPECT_EQ(BCSessionContext::sharedInstance()->sessionIdAt(between), "s2");
}

TEST(BCSessionContext, Clearing) {
    modeltest::SdkHome home;
    storeHistory({platform::Value(std::make_shared<BCSessionHistoryInfo>(at("2026-01-01T10:00:00.000Z"), "A"))});
    home.relaunch();
    auto context = BCSessionContext::sharedInstance();
    context->clearSessionHistoryAndKeepCurrentSession(false);
    EXPECT_TRUE(context->sessionHistory().empty());
    EXPECT_EQ(storedHistory()->size(), 0u);
    EXPECT_EQ(context->sessionIdAt(at("2026-01-01T12:00:00.000Z")), std::nullopt);
    EXPECT_EQ(context->sessionIdAt(platform::Date::distantFuture()), std::nullopt);
    context->setSessionId("s");
    EXPECT_EQ(context->sessionHistory().size(), 1u);
    EXPECT_EQ(storedHistory()->size(), 1u);

    home.relaunch();
    context = BCSessionContext::sharedInstance();
    context->clearSessionHistoryAndKeepCurrentSession(true);
    auto history = storedHistory();
    ASSERT_EQ(history->size(), 1u);
    EXPECT_EQ((*history)[0].second, std::nullopt) << "only the running launch's entry is kept";
}

TEST(BCSessionContext, UnreadableHistoryIsTreatedAsEmpty) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCBeaconUserDefaults::shared()->setObject(platform::Value(platform::Data{1, 2, 3}), "SessionIdHistory");
    home.relaunch();
    EXPECT_EQ(BCSessionContext::sharedInstance()->sessionHistory().size(), 1u);

    // Entries of another class, and an entry whose id is not a string.
    home.relaunch();
    storeHistory({platform::Value(std::make_shared<BCUserIdHistoryInfo>(at("2026-01-01T10:00:00.000Z"), "u"))});
    home.relaunch();
    EXPECT_EQ(BCSessionContext::sharedInstance()->sessionHistory().size(), 1u);

    class BadEntry : public BCSessionHistoryInfo {
    public:
        using BCSessionHistoryInfo::BCSessionHistoryInfo;
        void encodeWithCoder(platform::KeyedArchiver &coder) const override {
            BCHistoryInfo::encodeWithCoder(coder);
            coder.encodeObject(platform::Value(int64_t(7)), "sessionIdKey");
        }
    };
    home.relaunch();
    storeHistory({platform::Value(std::make_shared<BCSessionHistoryInfo>(at("2026-01-01T09:00:00.000Z"), "ok")),
                  platform::Value(std::make_shared<BadEntry>(at("2026-01-01T10:00:00.000Z"), "x"))});
    home.relaunch();
    EXPECT_EQ(BCSessionContext::sharedInstance()->sessionHistory().size(), 1u);
    EXPECT_TRUE(capture.contains(BCLogLevelDebug, "0 session(s) in the history."));
}

TEST(BCSessionContext, AnArchiveThatCannotBeMadeIsNotStored) {
    modeltest::SdkHome home;
    auto context = BCSessionContext::sharedInstance();
    context->setSessionId("kept");
    // A NUL character cannot be archived.
    context->setSessionId(std::string("bad\0id", 6));
    auto stored = storedHistory();
    ASSERT_TRUE(stored) << "the earlier history is still there";
    ASSERT_EQ(stored->size(), 1u);
    EXPECT_EQ((*stored)[0].second, "kept");
}

TEST(BCSessionContext, AnIdThatIsNotUTF8IsRefusedAndTheHistorySurvives) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    BCSessionContext::sharedInstance()->setSessionId("kept");
    BCSessionContext::sharedInstance()->setSessionId(std::string("\xc3\x28"));
    EXPECT_EQ(BCSessionContext::sharedInstance()->sessionId(), "kept");
    EXPECT_TRUE(
        capture.contains(BCLogLevelError, "The session id \"\xEF\xBF\xBD(\" is not UTF-8 text; it is not stored."));
    home.relaunch();
    auto stored = storedHistory();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 1u);
    EXPECT_EQ((*stored)[0].second, "kept");
    EXPECT_EQ(BCSessionContext::sharedInstance()->sessionHistory().size(), 2u);
}
