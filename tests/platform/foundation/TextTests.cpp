#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/Base64.h"
#include "platform/foundation/ISO8601.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UUID.h"

namespace text = platform::text;

TEST(Text, Utf16LengthCountsSurrogatePairsAsTwo) {
    EXPECT_EQ(text::utf16Length("abc"), 3u);
    EXPECT_EQ(text::utf16Length("\xC3\xA9"), 1u);          // é
    EXPECT_EQ(text::utf16Length("\xE2\x82\xAC"), 1u);      // €
    EXPECT_EQ(text::utf16Length("\xF0\x9F\x98\x80"), 2u);  // 😀
    EXPECT_EQ(text::utf16Length("\xFF\xF0\x9F"), 3u);      // invalid bytes count one each
}

TEST(Text, Utf16PrefixNeverSplitsAPair) {
    std::string s = std::string(124, 'a') + "\xF0\x9F\x98\x80" + "b";
    EXPECT_EQ(text::utf16Prefix(s, 125), std::string(124, 'a'));
    EXPECT_EQ(text::utf16Prefix(s, 126), std::string(124, 'a') + "\xF0\x9F\x98\x80");
    EXPECT_EQ(text::utf16Prefix("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
    EXPECT_EQ(text::utf16Prefix("abc", 10), "abc");
}

TEST(Text, ValidUTF8RejectsWhatNSStringRejects) {
    using platform::text::isValidUTF8;
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUTF8("\xFF"));
    EXPECT_FALSE(isValidUTF8("\xC0\x80"));          // overlong NUL
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(isValidUTF8("ab\xC3"));            // cut short
}

TEST(Text, ReplaceAllAndListed) {
    EXPECT_EQ(text::replaceAll("a=b=c", "=", ""), "abc");
    EXPECT_EQ(text::replaceAll("macos=macos=x", "macos=", ""), "x");
    EXPECT_EQ(text::replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(text::listed({"a", "b"}, 2), "a, b");
    EXPECT_EQ(text::listed({"a", "b", "c", "d"}, 2), "a, b and 2 more");
    EXPECT_EQ(text::listed({}, 2), "");
}

TEST(Base64, StrictAndLenient) {
    platform::Data hello{'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(platform::base64::encode(hello), "aGVsbG8=");
    EXPECT_EQ(platform::base64::decodeStrict("aGVsbG8="), hello);
    EXPECT_FALSE(platform::base64::decodeStrict("aGVsbG8"));
    EXPECT_FALSE(platform::base64::decodeStrict("aGV\nsbG8="));
    EXPECT_FALSE(platform::base64::decodeStrict("a*VsbG8="));
    EXPECT_EQ(platform::base64::decodeLenient("aGV\nsbG8"), hello);
    EXPECT_FALSE(platform::base64::decodeLenient("a"));
    EXPECT_EQ(platform::base64::decodeStrict(""), platform::Data{});
}

TEST(ISO8601, FormatsMillisecondsInUtcAndRoundTrips) {
    auto t = platform::Date::fromTimeIntervalSince1970(1700000000.0);
    EXPECT_EQ(platform::iso8601::format(t), "2023-11-14T22:13:20.000Z");
    // t + 0.999 is stored just below .999; it must not print .998.
    EXPECT_EQ(platform::iso8601::format(t.dateByAddingTimeInterval(0.999)), "2023-11-14T22:13:20.999Z");
    EXPECT_EQ(platform::iso8601::format(platform::Date::fromTimeIntervalSince1970(-0.5)), "1969-12-31T23:59:59.500Z");
    auto parsed = platform::iso8601::parse("2023-11-14T22:13:20.123Z");
    ASSERT_TRUE(parsed);
    EXPECT_NEAR(parsed->timeIntervalSince1970(), 1700000000.123, 1e-6);
    EXPECT_EQ(platform::iso8601::format(*parsed), "2023-11-14T22:13:20.123Z");
    EXPECT_FALSE(platform::iso8601::parse("2023-11-14T22:13:20Z"));
    EXPECT_FALSE(platform::iso8601::parse("2023-02-30T22:13:20.000Z"));
    EXPECT_FALSE(platform::iso8601::parse("2023-11-14 22:13:20.000Z"));
}

TEST(ISO8601, OnlyWhatTheWriterCanWriteBackIsRead) {
    // No leap second: 23:59:60 of the last day would roll into year 10000.
    EXPECT_FALSE(platform::iso8601::parse("9999-12-31T23:59:60.999Z"));
    EXPECT_FALSE(platform::iso8601::parse("2016-12-31T23:59:60.000Z"));
    for (const char *text : {"9999-12-31T23:59:59.999Z", "9999-12-31T23:59:59.198Z", "0000-01-01T00:00:00.000Z",
                             "2000-02-29T12:00:00.500Z"}) {
        auto parsed = platform::iso8601::parse(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(platform::iso8601::format(*parsed), text);
    }
    // Dates beyond four-digit years are written as the nearest one that
    // reads back.
    using platform::Date;
    EXPECT_EQ(platform::iso8601::format(Date::fromTimeIntervalSince1970(1e18)), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(platform::iso8601::format(Date::fromTimeIntervalSince1970(-1e18)), "0000-01-01T00:00:00.000Z");
    EXPECT_TRUE(platform::iso8601::parse(platform::iso8601::format(Date::fromTimeIntervalSince1970(INFINITY))));
}

TEST(Text, UTF8IsCheckedAndSystemTextDecodedLossily) {
    using platform::text::isValidUTF8;
    using platform::text::lossyUTF8;
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9d"));
    for (const char *bad :
         {"\xc3\x28", "\xc0\xc0", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff", "\xe2\x82"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
    EXPECT_EQ(lossyUTF8("caf\xe9"), "caf\xEF\xBF\xBD");  // Latin-1
    EXPECT_EQ(lossyUTF8("\xc3\x28"), "\xEF\xBF\xBD(");
    EXPECT_EQ(lossyUTF8("ok \xc3\xa9"), "ok \xc3\xa9");
    EXPECT_EQ(lossyUTF8("\xe2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
    EXPECT_TRUE(isValidUTF8(lossyUTF8("\xed\xa0\x80\xff\xfe")));
}

TEST(UUID, TextFormIsUpperCaseAndParses) {
    auto u = platform::UUID::random();
    auto s = u.UUIDString();
    EXPECT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    for (char c : s) EXPECT_FALSE(c >= 'a' && c <= 'z');
    EXPECT_EQ(platform::UUID::fromString(s), u);
    auto lower = platform::UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(platform::UUID::fromString("e621e1f8c36c495a93fc0c247a3e6e5f"));
    EXPECT_NE(platform::UUID::random(), platform::UUID::random());
}
