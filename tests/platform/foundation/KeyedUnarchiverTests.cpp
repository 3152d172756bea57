// Archives that must be refused (garbage, truncation, wrong field types,
// bad references, cycles, unknown classes) and old class names.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "ArchiveTestClasses.h"
#include "platform/foundation/PlistNode.h"

using namespace platform;
using archivetest::TestHistoryInfo;

namespace {

class KeyedUnarchiverTest : public ::testing::Test {
protected:
    void SetUp() override { archivetest::registerTestClasses(); }

    static Data archiveOf(const Value &v) {
        auto data = KeyedArchiver::archivedDataWithRootObject(v);
        EXPECT_TRUE(data);
        return data ? *data : Data();
    }

    static std::shared_ptr<TestHistoryInfo> info() {
        auto i = std::make_shared<TestHistoryInfo>();
        i->timestamp = Date::fromTimeIntervalSince1970(1.7e9);
        i->sessionId = "sid";
        i->count = 3;
        return i;
    }

    // Parses an archive, lets the test change its tree, and writes it back.
    static Data mutate(const Data &archive, const std::function<void(plist_t root, std::vector<plist_t> &objects)> &f) {
        PlistNode root = PlistNode::parse(archive);
        auto objects = *PlistNode::arrayElements(plist_dict_get_item(root.get(), "$objects"));
        f(root.get(), objects);
        return *root.toBinary();
    }

    // The object dictionary whose class record is named `name`.
    static plist_t objectOfClass(std::vector<plist_t> &objects, const std::string &name) {
        for (plist_t o : objects) {
            auto uid = PlistNode::uidValue(plist_dict_get_item(o, "$class"));
            if (uid && PlistNode::stringValue(plist_dict_get_item(objects[*uid], "$classname")) == name) return o;
        }
        return nullptr;
    }

    static ErrorPtr refusal(const Data &data) {
        ErrorPtr error;
        auto v = KeyedUnarchiver::unarchiveTopLevelObjectWithData(data, &error);
        EXPECT_FALSE(v) << "decoded " << (v ? v->description() : "");
        EXPECT_TRUE(error);
        return error;
    }

    static std::string reason(const ErrorPtr &error) {
        return error ? Value(error->userInfo())[kLocalizedFailureReasonKey].description() + " " +
                           error->localizedDescription()
                     : std::string();
    }
};

}  // namespace

TEST_F(KeyedUnarchiverTest, GarbageAndTruncatedDataAreRefused) {
    refusal(Data{});
    refusal(Data{'b', 'p', 'l', 'i', 's', 't', '0', '0'});
    std::string xml =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>b</string></dict></plist>";
    refusal(Data(xml.begin(), xml.end()));
    refusal(*PlistNode(plist_new_array()).toBinary());

    Data good = archiveOf(Value(Array{Value(info()), Value("text"), Value(Dictionary{{"k", Value(1)}})}));
    ASSERT_TRUE(KeyedUnarchiver::unarchiveTopLevelObjectWithData(good));
    for (size_t n = 0; n < good.size(); ++n) {
        Data cut(good.begin(), good.begin() + n);
        EXPECT_FALSE(KeyedUnarchiver::unarchiveTopLevelObjectWithData(cut)) << "prefix of " << n << " bytes";
    }
    // Random bytes, with and without the binary property-list magic.
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        Data noise(good);
        for (int k = 0; k < 1 + round % 8; ++k) noise[rng() % noise.size()] = static_cast<uint8_t>(rng());
        ErrorPtr error;
        auto v = KeyedUnarchiver::unarchiveTopLevelObjectWithData(noise, &error);
        EXPECT_TRUE(v || error);
    }
}

TEST_F(KeyedUnarchiverTest, FrameMustBeAKeyedArchive) {
    Data good = archiveOf(Value("x"));
    EXPECT_NE(reason(refusal(mutate(good,
                                    [](plist_t root, auto &) {
                                        plist_dict_set_item(root, "$archiver", plist_new_string("NSArchiver"));
                                    })))
                  .find("keyed archiver"),
              std::string::npos);
    refusal(mutate(good, [](plist_t root, auto &) { plist_dict_set_item(root, "$version", plist_new_uint(99)); }));
    refusal(mutate(good, [](plist_t root, auto &) { plist_dict_set_item(root, "$top", plist_new_array()); }));
    refusal(mutate(good, [](plist_t, auto &objects) { plist_set_string_val(objects[0], "null"); }));
    // The root key pointing past the object table.
    refusal(mutate(good, [](plist_t root, auto &) {
        plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(999));
    }));
}

TEST_F(KeyedUnarchiverTest, FieldsOfTheWrongTypeFailTheDecode) {
    Data good = archiveOf(Value(info()));
    ASSERT_TRUE(KeyedUnarchiver::unarchiveTopLevelObjectWithData(good));

    // A string field that refers to a date.
    auto error = refusal(mutate(good, [&](plist_t, auto &objects) {
        plist_t o = objectOfClass(objects, "TestHistoryInfo");
        plist_dict_set_item(o, "sessionIdKey", plist_copy(plist_dict_get_item(o, "timestampKey")));
    }));
    EXPECT_NE(reason(error).find("sessionIdKey"), std::string::npos) << reason(error);
    // A scalar stored as text.
    refusal(mutate(good, [&](plist_t, auto &objects) {
        plist_dict_set_item(objectOfClass(objects, "TestHistoryInfo"), "count", plist_new_string("3"));
    }));
    // A field holding an inline dictionary instead of a reference.
    refusal(mutate(good, [&](plist_t, auto &objects) {
        plist_dict_set_item(objectOfClass(objects, "TestHistoryInfo"), "sessionIdKey", plist_new_dict());
    }));
    // Built-in classes check their own fields.
    refusal(mutate(good, [&](plist_t, auto &objects) {
        plist_dict_set_item(objectOfClass(objects, "NSDate"), "NS.time", plist_new_string("yesterday"));
    }));
    Data uuid = archiveOf(Value(UUID::random()));
    refusal(mutate(uuid, [&](plist_t, auto &objects) {
        plist_dict_set_item(objectOfClass(objects, "NSUUID"), "NS.uuidbytes", plist_new_data("short", 5));
    }));
    Data dict = archiveOf(Value(Dictionary{{"a", Value(1)}, {"b", Value(2)}}));
    refusal(mutate(dict, [&](plist_t, auto &objects) {
        plist_array_remove_item(plist_dict_get_item(objectOfClass(objects, "NSDictionary"), "NS.keys"), 0);
    }));
    // A dictionary key that is not a string: point the first key at the value 1.
    refusal(mutate(dict, [&](plist_t, auto &objects) {
        plist_t d = objectOfClass(objects, "NSDictionary");
        plist_t firstValue = plist_array_get_item(plist_dict_get_item(d, "NS.objects"), 0);
        plist_array_set_item(plist_dict_get_item(d, "NS.keys"), plist_copy(firstValue), 0);
    }));
    // A class reference to something that is not a class record.
    refusal(mutate(good, [&](plist_t, auto &objects) {
        plist_dict_set_item(objectOfClass(objects, "TestHistoryInfo"), "$class", plist_new_uid(0));
    }));
    // An array member out of range.
    Data array = archiveOf(Value(Array{Value("a")}));
    refusal(mutate(array, [&](plist_t, auto &objects) {
        plist_array_append_item(plist_dict_get_item(objectOfClass(objects, "NSArray"), "NS.objects"),
                                plist_new_uid(1u << 30));
    }));
}

TEST_F(KeyedUnarchiverTest, CyclesDeepNestingAndExpansionAreRefused) {
    // An array that contains itself.
    Data array = archiveOf(Value(Array{Value("a")}));
    auto error = refusal(mutate(array, [&](plist_t root, auto &objects) {
        auto self = PlistNode::uidValue(plist_dict_get_item(plist_dict_get_item(root, "$top"), "root"));
        plist_array_append_item(plist_dict_get_item(objectOfClass(objects, "NSArray"), "NS.objects"),
                                plist_new_uid(*self));
    }));
    EXPECT_NE(reason(error).find("cycle"), std::string::npos) << reason(error);

    Value deep = Value("bottom");
    for (int i = 0; i < 1000; ++i) deep = Value(Array{std::move(deep)});
    error = refusal(archiveOf(deep));
    EXPECT_NE(reason(error).find("deeply"), std::string::npos) << reason(error);

    // 64 levels of arrays each holding the level below twice: 2^64 values if
    // expanded.
    Value level = Value("x");
    Data bomb = archiveOf(Value(Array{level}));
    bomb = mutate(bomb, [&](plist_t root, auto &objects) {
        plist_t list = plist_dict_get_item(root, "$objects");
        uint64_t arrayClass = *PlistNode::uidValue(plist_dict_get_item(objectOfClass(objects, "NSArray"), "$class"));
        uint64_t below = 1;  // "x"
        for (int i = 0; i < 64; ++i) {
            plist_t a = plist_new_dict();
            plist_t members = plist_new_array();
            plist_array_append_item(members, plist_new_uid(below));
            plist_array_append_item(members, plist_new_uid(below));
            plist_dict_set_item(a, "NS.objects", members);
            plist_dict_set_item(a, "$class", plist_new_uid(arrayClass));
            plist_array_append_item(list, a);
            below = plist_array_get_size(list) - 1;
        }
        plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(below));
    });
    error = refusal(bomb);
    EXPECT_NE(reason(error).find("too many"), std::string::npos) << reason(error);

    // A chain of arrays each holding the one before, all listed by the root:
    // every array is decoded afresh at depth 2 but holds the cached array
    // below it, so the value nests 300 deep unless cached heights count.
    Data chain = mutate(archiveOf(Value(Array{Value("x")})), [&](plist_t root, auto &objects) {
        plist_t list = plist_dict_get_item(root, "$objects");
        uint64_t arrayClass = *PlistNode::uidValue(plist_dict_get_item(objectOfClass(objects, "NSArray"), "$class"));
        plist_t all = plist_new_array();
        uint64_t below = 1;  // "x"
        for (int i = 0; i < 300; ++i) {
            plist_t a = plist_new_dict();
            plist_t members = plist_new_array();
            plist_array_append_item(members, plist_new_uid(below));
            plist_dict_set_item(a, "NS.objects", members);
            plist_dict_set_item(a, "$class", plist_new_uid(arrayClass));
            plist_array_append_item(list, a);
            below = plist_array_get_size(list) - 1;
            plist_array_append_item(all, plist_new_uid(below));
        }
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "NS.objects", all);
        plist_dict_set_item(top, "$class", plist_new_uid(arrayClass));
        plist_array_append_item(list, top);
        plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(plist_array_get_size(list) - 1));
    });
    error = refusal(chain);
    EXPECT_NE(reason(error).find("deeply"), std::string::npos) << reason(error);
}

TEST_F(KeyedUnarchiverTest, OnlyRegisteredClassesAreCreated) {
    class Unknown : public Coding {
    public:
        std::string className() const override { return "NeverRegisteredClass"; }
        void encodeWithCoder(KeyedArchiver &coder) const override { coder.encodeInt64(1, "x"); }
    };
    auto error = refusal(archiveOf(Value(std::make_shared<Unknown>())));
    EXPECT_NE(reason(error).find("NeverRegisteredClass"), std::string::npos);

    // A decoder that refuses, and one that throws: both fail cleanly.
    class Refused : public Coding {
    public:
        std::string className() const override { return "RefusedClass"; }
        void encodeWithCoder(KeyedArchiver &) const override {}
    };
    KeyedUnarchiver::registerClass("RefusedClass", [](KeyedUnarchiver &) { return nullptr; });
    refusal(archiveOf(Value(std::make_shared<Refused>())));
    KeyedUnarchiver::registerClass(
        "RefusedClass", [](KeyedUnarchiver &) -> std::shared_ptr<Object> { throw std::runtime_error("boom"); });
    EXPECT_NE(reason(refusal(archiveOf(Value(std::make_shared<Refused>())))).find("boom"), std::string::npos);
}

TEST_F(KeyedUnarchiverTest, OldClassNamesDecodeAsTheCurrentClassOnceRenamed) {
    auto renamed = [&](const std::string &oldName) {
        return mutate(archiveOf(Value(Array{Value(info())})), [&](plist_t, auto &objects) {
            for (plist_t o : objects) {
                if (PlistNode::stringValue(plist_dict_get_item(o, "$classname")) == "TestHistoryInfo") {
                    plist_dict_set_item(o, "$classname", plist_new_string(oldName.c_str()));
                    plist_t classes = plist_new_array();
                    plist_array_append_item(classes, plist_new_string(oldName.c_str()));
                    plist_array_append_item(classes, plist_new_string("NSObject"));
                    plist_dict_set_item(o, "$classes", classes);
                }
            }
        });
    };
    Data local = renamed("BNLocalHistoryInfo");
    refusal(local);
    ErrorPtr error;
    auto unarchiver = KeyedUnarchiver::make(local, &error);
    ASSERT_TRUE(unarchiver) << error->description();
    unarchiver->instanceSetClass("TestHistoryInfo", "BNLocalHistoryInfo");
    auto v = unarchiver->decodeTopLevelObjectForKey("root", &error);
    ASSERT_TRUE(v) << error->description();
    auto decoded = (*v->array())[0].objectAs<TestHistoryInfo>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*info()));

    Data global = renamed("BNGlobalHistoryInfo");
    refusal(global);
    KeyedUnarchiver::setClass("TestHistoryInfo", "BNGlobalHistoryInfo");
    auto g = KeyedUnarchiver::unarchiveTopLevelObjectWithData(global, &error);
    ASSERT_TRUE(g) << error->description();
    EXPECT_TRUE((*g->array())[0].objectAs<TestHistoryInfo>());
}
