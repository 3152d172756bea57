// The binary property-list writer against libplist's own writer, which
// wrote every stored archive before it: the bytes must be the same.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "platform/foundation/BinaryPlistWriter.h"
#include "platform/foundation/PlistNode.h"

using namespace platform;

namespace {

using NodeId = BinaryPlistWriter::NodeId;

// Texts drawn from a small set so that equal strings and keys recur, with
// lengths around the 15-byte marker limit and a few long ones.
std::string randomText(std::mt19937 &random) {
    static const std::vector<std::string> pool = {"",
                                                  "a",
                                                  "$class",
                                                  "NS.objects",
                                                  "fourteen chars",
                                                  "fifteen chars..",
                                                  "sixteen chars...",
                                                  std::string(200, 'x'),
                                                  std::string(300, 'y'),
                                                  "6A2B1F4E-7C1D-4E2A-9F3B-1D2C3B4A5F60"};
    return pool[random() % pool.size()];
}

NodeId randomTree(BinaryPlistWriter &writer, std::mt19937 &random, int depth) {
    static const std::vector<uint64_t> integers = {0,
                                                   1,
                                                   14,
                                                   15,
                                                   255,
                                                   256,
                                                   65535,
                                                   65536,
                                                   0xFFFFFF,
                                                   0x1000000,
                                                   0xFFFFFFFFull,
                                                   0x100000000ull,
                                                   uint64_t(-7),
                                                   uint64_t(1) << 63};
    static const std::vector<double> reals = {0.0, -0.0, 1.5, 0.1, -2.25, 1e300, 784111234.567, 3.4e38};
    switch (depth > 0 ? random() % 10 : 2 + random() % 8) {
    case 0: {
        const NodeId dictionary = writer.newDictionary();
        const size_t count = random() % 18;
        for (size_t i = 0; i < count; ++i)
            writer.setItem(dictionary, randomText(random), randomTree(writer, random, depth - 1));
        return dictionary;
    }
    case 1: {
        const NodeId array = writer.newArray();
        const size_t count = random() % 18;
        for (size_t i = 0; i < count; ++i) writer.appendItem(array, randomTree(writer, random, depth - 1));
        return array;
    }
    case 2: return writer.newString(randomText(random));
    case 3: return writer.newInteger(integers[random() % integers.size()]);
    case 4: return writer.newUID(integers[random() % 9]);
    case 5: return writer.newReal(reals[random() % reals.size()]);
    case 6: return writer.newBool(random() % 2);
    case 7: return writer.newData(Data(random() % 20, uint8_t(random())));
    default: return writer.newUID(random() % 40);
    }
}

void expectSameAsLibplist(const BinaryPlistWriter &writer, NodeId root, const std::string &what) {
    const auto ours = writer.write(root);
    const auto theirs = writer.writeWithLibplist(root);
    ASSERT_TRUE(ours) << what;
    ASSERT_TRUE(theirs) << what;
    EXPECT_EQ(*ours, *theirs) << what;
}

}  // namespace

TEST(BinaryPlistWriterTest, WritesTheBytesLibplistWrites) {
    // Random trees: shared scalars, keys beside equal strings, replaced keys,
    // counts beside 15, every integer and reference size.
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        BinaryPlistWriter writer;
        const NodeId root = randomTree(writer, random, 1 + round % 4);
        expectSameAsLibplist(writer, root, "round " + std::to_string(round));
    }

    // A key set again keeps its place and takes the new value.
    {
        BinaryPlistWriter writer;
        const NodeId dictionary = writer.newDictionary();
        writer.setItem(dictionary, "a", writer.newInteger(1));
        writer.setItem(dictionary, "b", writer.newInteger(2));
        writer.setItem(dictionary, "a", writer.newString("three"));
        expectSameAsLibplist(writer, dictionary, "replaced key");
    }

    // Object counts and offsets around the one-, two- and three-byte sizes.
    for (size_t count : {254u, 255u, 256u, 65534u, 65535u, 70000u}) {
        BinaryPlistWriter writer;
        const NodeId array = writer.newArray();
        for (size_t i = 0; i < count; ++i) writer.appendItem(array, writer.newInteger(i));
        expectSameAsLibplist(writer, array, std::to_string(count) + " objects");
    }
    for (size_t length : {230u, 250u, 65500u, 70000u}) {
        BinaryPlistWriter writer;
        const NodeId array = writer.newArray();
        writer.appendItem(array, writer.newString(std::string(length, 'z')));
        writer.appendItem(array, writer.newData(Data(length, 7)));
        expectSameAsLibplist(writer, array, std::to_string(length) + " bytes");
    }

    // What the writer leaves to libplist: text beyond ASCII, reals that are
    // not finite, UIDs beyond 32 bits.
    {
        BinaryPlistWriter writer;
        const NodeId dictionary = writer.newDictionary();
        writer.setItem(dictionary, "gr\xC3\xBC\xC3\x9F", writer.newString("\xF0\x9F\x98\x80 smile"));
        writer.setItem(dictionary, "inf", writer.newReal(std::numeric_limits<double>::infinity()));
        writer.setItem(dictionary, "uid", writer.newUID(uint64_t(1) << 40));
        expectSameAsLibplist(writer, dictionary, "left to libplist");
    }
}
