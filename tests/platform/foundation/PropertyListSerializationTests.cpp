// Property-list files: round trips in both formats, refusals, and files
// crafted to nest deeper than a parser's stack allows.
#include <gtest/gtest.h>

#include <climits>

#include "platform/foundation/PropertyListSerialization.h"

using namespace platform;
using Format = PropertyListSerialization::Format;

namespace {

void appendBigEndian(Data &out, uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A binary property list of `depth` arrays, each holding the next, around
// the string "x".
Data deepBinary(uint32_t depth) {
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        out.push_back(0xA1);
        appendBigEndian(out, i + 1, 4);
    }
    offsets.push_back(out.size());
    out.push_back(0x51);
    out.push_back('x');
    uint64_t table = out.size();
    for (uint64_t o : offsets) appendBigEndian(out, o, 4);
    for (int i = 0; i < 6; ++i) out.push_back(0);
    out.push_back(4);
    out.push_back(4);
    appendBigEndian(out, offsets.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, table, 8);
    return out;
}

Data deepXML(size_t depth) {
    std::string s = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (size_t i = 0; i < depth; ++i) s += "<array>";
    s += "<string>x</string>";
    for (size_t i = 0; i < depth; ++i) s += "</array>";
    s += "</plist>";
    return Data(s.begin(), s.end());
}

}  // namespace

TEST(PropertyListSerializationTest, ValuesRoundTripInBothFormats) {
    Dictionary d{
        {"bool", Value(true)},
        {"int", Value(-42)},
        {"big", Value(INT64_MAX)},
        {"real", Value(2.5)},
        {"text", Value("ünïcødé ✓")},
        {"data", Value(Data{1, 2, 3})},
        {"date", Value(Date::fromTimeIntervalSince1970(1765080393))},  // XML dates are whole seconds
        {"list", Value(Array{Value(Dictionary{{"k", Value("v")}}), Value(Array{})})},
    };
    for (Format format : {Format::Binary, Format::XML}) {
        ErrorPtr error;
        auto data = PropertyListSerialization::dataWithPropertyList(Value(d), format, &error);
        ASSERT_TRUE(data) << error->description();
        auto back = PropertyListSerialization::propertyListWithData(*data, &error);
        ASSERT_TRUE(back) << error->description();
        EXPECT_EQ(*back, Value(d));
        EXPECT_TRUE((*back)["bool"].isBool());
        EXPECT_TRUE((*back)["real"].isReal());
    }
    // Binary dates keep their microseconds, before 2001 too. (libplist
    // cannot tell the sign of a date in the last second before 2001.)
    for (double t : {1765080393.123456, 978307198.5, 0.000001, -86400.75}) {
        auto data = PropertyListSerialization::dataWithPropertyList(Value(Date::fromTimeIntervalSince1970(t)),
                                                                    Format::Binary);
        ASSERT_TRUE(data);
        auto back = PropertyListSerialization::propertyListWithData(*data);
        ASSERT_TRUE(back && back->isDate());
        EXPECT_NEAR(back->date()->timeIntervalSince1970(), t, 1.5e-6) << t;
    }
}

TEST(PropertyListSerializationTest, NonPropertyListValuesAreRefused) {
    class Thing : public Object {
        std::string className() const override { return "Thing"; }
    };
    for (const Value &v : {Value(UUID::random()), Value(std::make_shared<Thing>()),
                           Value(Array{Value(1), Value(UUID())}), Value(Dictionary{{"k", Value()}}),
                           Value(std::string("nul\0inside", 10)),
                           Value(Date::fromTimeIntervalSince1970(1e12))}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(v, Format::Binary, &error)) << v.description();
        EXPECT_TRUE(error);
        EXPECT_FALSE(PropertyListSerialization::isValidPropertyList(v));
    }
    ErrorPtr error;
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(Data{'n', 'o', 'p', 'e'}, &error));
    EXPECT_TRUE(error);
}

TEST(PropertyListSerializationTest, CraftedDeepNestingIsRefusedWithoutCrashing) {
    auto shallow = PropertyListSerialization::propertyListWithData(deepBinary(100));
    ASSERT_TRUE(shallow);
    EXPECT_TRUE(shallow->isArray());
    EXPECT_TRUE(PropertyListSerialization::propertyListWithData(deepXML(100)));

    ErrorPtr error;
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(deepBinary(300000), &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(deepXML(300000), &error));

    // A binary list whose array refers to itself.
    Data cyclic = deepBinary(1);
    cyclic[9 + 3] = 0;  // the array's reference now points at object 0, itself
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(cyclic));
}
