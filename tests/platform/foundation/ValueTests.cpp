#include <gtest/gtest.h>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

using platform::Value;

TEST(Value, NumbersKeepTheirKindAndConvert) {
    Value b(true), i(42), r(2.5);
    EXPECT_TRUE(b.isBool());
    EXPECT_TRUE(i.isInteger());
    EXPECT_TRUE(r.isReal());
    EXPECT_EQ(i.doubleValue(), 42.0);
    EXPECT_EQ(r.int64Value(), 2);
    EXPECT_EQ(Value(0).boolValue(), false);
    EXPECT_FALSE(Value("1").boolValue());
    EXPECT_FALSE(Value(1e300).int64Value());  // out of range is absent, not undefined
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(true), Value(1));
}

TEST(Value, NilStringsAndLookups) {
    std::optional<std::string> none;
    EXPECT_TRUE(Value(none).isNull());
    EXPECT_TRUE(Value(static_cast<const char *>(nullptr)).isNull());
    Value d(Value::Dictionary{{"k", Value("v")}});
    EXPECT_EQ(*d["k"].string(), "v");
    EXPECT_TRUE(d["missing"].isNull());
    EXPECT_TRUE(Value(3)["k"].isNull());
}

TEST(Value, ObjectsCompareWithIsEqual) {
    auto e1 = platform::Error::make("d", 1);
    auto e2 = platform::Error::make("d", 1);
    auto e3 = platform::Error::make("d", 2);
    EXPECT_EQ(Value(e1), Value(e2));
    EXPECT_NE(Value(e1), Value(e3));
    EXPECT_EQ(Value(e1).objectAs<const platform::Error>()->code(), 1);
    EXPECT_EQ(Value(std::shared_ptr<platform::Error>()).type(), Value::Type::Null);
}
