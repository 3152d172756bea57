#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"

using platform::format;

TEST(Format, IntegerConversionsAsWritten) {
    EXPECT_EQ(format("%d|%ld|%lu|%tu", -5, -6L, 7UL, size_t{8}), "-5|-6|7|8");
    EXPECT_EQ(format("%llx|%llX", 0xdeadbeefULL, 0xabcULL), "deadbeef|ABC");
    EXPECT_EQ(format("%0*llx", 16, 0x1234ULL), "0000000000001234");
    EXPECT_EQ(format("%.0f|%.2f", 2.5, 1.005), "2|1.00");
    EXPECT_EQ(format("100%%"), "100%");
}

TEST(Format, ObjectsAndNil) {
    std::optional<std::string> none;
    std::shared_ptr<const platform::Error> noError;
    EXPECT_EQ(format("%@ and %@", std::string("tag"), none), "tag and (null)");
    EXPECT_EQ(format("%@", noError), "(null)");
    EXPECT_EQ(format("%@", platform::Value()), "(null)");
    EXPECT_EQ(format("[%@] %@: %@/%d %@", "Beacon", "ASSERT", "main", 12, "hello"), "[Beacon] ASSERT: main/12 hello");
    auto err = platform::Error::make("io.Beacon.SDK.ErrorDomain", 100,
                                     {{platform::kLocalizedDescriptionKey, platform::Value("Canceled")}});
    EXPECT_EQ(format("%@", err->localizedDescription()), "Canceled");
}

TEST(Format, MissingArgumentsAndUnknownConversions) {
    // A format asking for more than it was given prints nil, never garbage.
    EXPECT_EQ(format("%@ %d"), "(null) 0");
    EXPECT_EQ(format("%y"), "%y");
    EXPECT_EQ(format("tail %"), "tail %");
}

TEST(Format, ValueDescriptions) {
    platform::Value::Dictionary d{{"a", platform::Value(1)}, {"b", platform::Value("x")}};
    EXPECT_EQ(format("%@", platform::Value(d)), "{\n    a = 1;\n    b = x;\n}");
    EXPECT_EQ(format("%@", platform::Value(true)), "1");
    platform::Value::Array a{platform::Value("x"), platform::Value(2)};
    EXPECT_EQ(format("%@", platform::Value(a)), "(\n    x,\n    2\n)");
}

TEST(Format, WidthsFromArgumentsAreBoundedAndLongConversionsAreWhole) {
    // A width read from an argument is capped instead of asking for
    // gigabytes (or overflowing when negated).
    EXPECT_EQ(platform::format("%*d", int64_t(1) << 40, 7).size(), size_t(1) << 16);
    EXPECT_EQ(platform::format("%*d|", INT64_MIN, 7).size(), (size_t(1) << 16) + 1);
    EXPECT_EQ(platform::format("%.*d", -5, 42), "42");
    // Conversions longer than any fixed buffer come out whole.
    std::string big = platform::format("%.0f", 1e300);
    EXPECT_EQ(big.size(), 301u);
    EXPECT_EQ(big.substr(0, 4), "1000");
    EXPECT_EQ(platform::format("%600d", 1).size(), 600u);
}

TEST(Format, RealsOutOfAnIntegersRangeAreClamped) {
    // Converting such a real to an integer is undefined; it is clamped to
    // the conversion's range (NaN gives 0), as widths are.
    EXPECT_EQ(platform::format("%d", -1.06e304), "-9223372036854775808");
    EXPECT_EQ(platform::format("%d", 1e19), "9223372036854775807");
    EXPECT_EQ(platform::format("%u", 1e304), "18446744073709551615");
    EXPECT_EQ(platform::format("%u", -1.06e304), "0");
    EXPECT_EQ(platform::format("%x", std::nan("")), "0");
    EXPECT_EQ(platform::format("%d", 42.9), "42");
    EXPECT_EQ(platform::format("%*d", 1e300, 7).size(), size_t(1) << 16);
    EXPECT_EQ(platform::format("%*d|", -1e300, 7).size(), (size_t(1) << 16) + 1);
    EXPECT_EQ(platform::format("%c", 1e300).size(), 1u);
}
