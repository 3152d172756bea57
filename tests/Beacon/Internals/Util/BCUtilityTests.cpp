#include <gtest/gtest.h>

#include <unistd.h>

#include "BCLogger.h"
#include "BCUtility.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "platform/foundation/Format.h"
#include "support/TestSupport.h"

using modeltest::LogCapture;

TEST(BCUtilitySdk, IdentityIsReadableFromTheExecutableSection) {
    EXPECT_EQ(BCUtility::sdkName(), "beacon.macos");
    EXPECT_EQ(BCUtility::sdkVersion(), "4.0.0");
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = 0;
    int status = 0;
    std::string dump = testsupport::runCommand(
        platform::format("objcopy -O binary --only-section=__bc_sdk %@ /dev/stdout", std::string(exe)), &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(dump.size(), 97u);
    EXPECT_EQ(dump[0], 1);
    EXPECT_EQ(std::string(dump.c_str() + 1), "beacon.macos");
    EXPECT_EQ(std::string(dump.c_str() + 33), "4.0.0");
    EXPECT_EQ(std::string(dump.c_str() + 65), "1");
}

TEST(BCUtilityProperties, CountLimitKeepsTheFirstTwentyAndWarnsOnce) {
    LogCapture capture;
    platform::Dictionary props;
    for (int i = 0; i < 25; ++i) props[platform::format("key%02d", i)] = platform::Value("v");
    auto result = BCUtility::validateProperties(props, "event", "Event");
    ASSERT_EQ(result.size(), 20u);
    EXPECT_TRUE(result.count("key00") && result.count("key19") && !result.count("key20"));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, BCLogLevelWarning);
    EXPECT_EQ(lines[0].second,
              "Event 'event' : properties cannot contain more than 20 items. Skipping other properties.");
}

TEST(BCUtilityProperties, KeysAndValuesAreCutAndOddEntriesSkipped) {
    LogCapture capture;
    std::string longKey(130, 'k');
    std::string longValue(126, 'v');
    // A value whose 125th unit is the first half of a surrogate pair.
    std::string emojiValue = std::string(124, 'e') + "\xF0\x9F\x98\x80";
    // Two keys that are cut to the same 125 characters: the later one wins.
    std::string longKeyLater = std::string(125, 'k') + "z";
    platform::Dictionary props{{longKey, platform::Value("x")},      {longKeyLater, platform::Value("later")},
                               {"long", platform::Value(longValue)}, {"emoji", platform::Value(emojiValue)},
                               {"", platform::Value("empty key")},   {"number", platform::Value(3)}};
    auto result = BCUtility::validateProperties(props, "log", "ErrorLog");
    EXPECT_EQ(result.size(), 3u);
    EXPECT_EQ(*result[std::string(125, 'k')].string(), "later");
    EXPECT_EQ(result["long"].string()->size(), 125u);
    EXPECT_EQ(*result["emoji"].string(), std::string(124, 'e'));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 5u);
    for (const auto &line : lines) EXPECT_EQ(line.first, BCLogLevelWarning) << line.second;
    EXPECT_EQ(lines[0].second, "ErrorLog 'log' : a property key cannot be null or empty. Property will be skipped.");
    EXPECT_EQ(lines[1].second,
              "ErrorLog 'log' : property 'emoji' : property value cannot be longer than 125 characters. "
              "Property value will be truncated.");
    EXPECT_EQ(lines[2].second, "ErrorLog 'log' : property " + longKey +
                                   " : property key length cannot be longer than 125 characters. Property key will be "
                                   "truncated.");
    EXPECT_EQ(lines[3].second, "ErrorLog 'log' : property " + longKeyLater +
                                   " : property key length cannot be longer than 125 characters. Property key will be "
                                   "truncated.");
    EXPECT_EQ(lines[4].second,
              "ErrorLog 'log' : property 'long' : property value cannot be longer than 125 characters. "
              "Property value will be truncated.");
}

TEST(BCUtilityDates, Iso8601IsUtcWhateverTheLocalTimeZone) {
    const char *saved = getenv("TZ");
    std::optional<std::string> savedTz = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("TZ", "XST-5:30", 1);
    tzset();
    auto date = platform::Date::fromTimeIntervalSince1970(1700000000.25);
    std::string text = BCUtility::dateToISO8601(date);
    auto parsed = BCUtility::dateFromISO8601(text);
    if (savedTz)
        setenv("TZ", savedTz->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(text, "2023-11-14T22:13:20.250Z");
    ASSERT_TRUE(parsed);
    EXPECT_NEAR(parsed->timeIntervalSince1970(), 1700000000.25, 1e-6);
    EXPECT_FALSE(BCUtility::dateFromISO8601("2023-11-14T22:13:20.250+05:30"));
}
