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

// A binary property list of the given objects (each its marker and payload),
// the first being the top; references and offsets `refSize` bytes wide.
Data binaryOf(const std::vector<Data> &objects, int refSize = 1) {
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (const Data &o : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), o.begin(), o.end());
    }
    uint64_t table = out.size();
    for (uint64_t o : offsets) appendBigEndian(out, o, 4);
    for (int i = 0; i < 6; ++i) out.push_back(0);
    out.push_back(4);
    out.push_back(static_cast<uint8_t>(refSize));
    appendBigEndian(out, offsets.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, table, 8);
    return out;
}

// A binary property list of `depth` arrays, each holding the next, around
// the string "x".
Data deepBinary(uint32_t depth) {
    std::vector<Data> objects;
    for (uint32_t i = 0; i < depth; ++i) {
        Data array{0xA1};
        appendBigEndian(array, i + 1, 4);
        objects.push_back(std::move(array));
    }
    objects.push_back({0x51, 'x'});
    return binaryOf(objects, 4);
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
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(Date::fromTimeIntervalSince1970(t)), Format::Binary);
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
                           Value(std::string("nul\0inside", 10)), Value(Date::fromTimeIntervalSince1970(1e12))}) {
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

TEST(PropertyListSerializationTest, HostileBinaryListsAreRefusedWithoutAborting) {
    ErrorPtr error;
    // Dictionary keys holding U+0000, in UTF-16 and in ASCII: libplist would
    // abort on its own assertion while walking them.
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(
        binaryOf({{0xD1, 1, 2}, {0x63, 0, 'a', 0, 0, 0, 'b'}, {0x09}}), &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(
        PropertyListSerialization::propertyListWithData(binaryOf({{0xD1, 1, 2}, {0x53, 'a', 0, 'b'}, {0x09}})));

    // Arrays each holding the next one twice: 2^depth nodes if expanded.
    for (uint8_t depth : {20, 40}) {
        std::vector<Data> bomb;
        for (uint8_t i = 0; i < depth; ++i) bomb.push_back({0xA2, uint8_t(i + 1), uint8_t(i + 1)});
        bomb.push_back({0x09});
        EXPECT_FALSE(PropertyListSerialization::propertyListWithData(binaryOf(bomb), &error)) << int(depth);
    }

    // Sharing a leaf is ordinary and stays readable: 1000 references to "x".
    Data shared{0xAF, 0x11, 0x03, 0xE8};
    shared.insert(shared.end(), 1000, 1);
    auto many = PropertyListSerialization::propertyListWithData(binaryOf({shared, {0x51, 'x'}}));
    ASSERT_TRUE(many && many->isArray());
    EXPECT_EQ(many->array()->size(), 1000u);
}

TEST(PropertyListSerializationTest, TextIsUTF8OnBothSidesOfTheFile) {
    // The writer refuses keys and strings that are not UTF-8: libplist would
    // write "\xC0\xC0" as the UTF-16 key U+0000, which no reader takes back.
    for (const Value &v : {Value(Dictionary{{"\xC0\xC0", Value(1)}}), Value("\xc3\x28"),
                           Value(Array{Value(Dictionary{{"k", Value("\xed\xa0\x80")}})})}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(v, Format::Binary, &error)) << v.description();
        EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(v, Format::XML, &error)) << v.description();
        EXPECT_TRUE(error);
    }
    Value text(Dictionary{{"cl\xc3\xa9", Value("\xe2\x9c\x8d \xf0\x9f\x93\x9d")}});
    for (Format f : {Format::Binary, Format::XML}) {
        auto data = PropertyListSerialization::dataWithPropertyList(text, f);
        ASSERT_TRUE(data);
        EXPECT_EQ(PropertyListSerialization::propertyListWithData(*data), text);
    }

    // A damaged file's text is read as far as it goes (libplist ends a
    // string at a NUL), ill-formed bytes as U+FFFD, so that what was read can
    // be written back.
    auto read = PropertyListSerialization::propertyListWithData(
        binaryOf({{0xD2, 1, 2, 3, 4}, {0x52, 0xC3, 0x28}, {0x51, 'k'}, {0x53, 'a', 0, 'b'}, {0x52, 0xC0, 0xC0}}));
    ASSERT_TRUE(read && read->isDictionary());
    EXPECT_EQ(*read, Value(Dictionary{{"\xEF\xBF\xBD(", Value("a")}, {"k", Value("\xEF\xBF\xBD\xEF\xBF\xBD")}}))
        << read->description();
    EXPECT_TRUE(PropertyListSerialization::dataWithPropertyList(*read, Format::Binary));
}
