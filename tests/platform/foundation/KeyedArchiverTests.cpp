// Round trips through the keyed archiver and unarchiver, and the archive's
// layout as python3's plistlib reads it.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include "ArchiveTestClasses.h"
#include "platform/foundation/PlistNode.h"
#include "support/TestSupport.h"

using namespace platform;
using archivetest::TestHistoryInfo;
using archivetest::TestHolder;

namespace {

Value roundTrip(const Value &v) {
    ErrorPtr error;
    auto data = KeyedArchiver::archivedDataWithRootObject(v, &error);
    EXPECT_TRUE(data) << (error ? error->description() : "");
    if (!data) return Value();
    auto back = KeyedUnarchiver::unarchiveTopLevelObjectWithData(*data, &error);
    EXPECT_TRUE(back) << (error ? error->description() : "");
    return back ? *back : Value();
}

std::shared_ptr<TestHistoryInfo> makeInfo(double t, std::optional<std::string> sid, int64_t count) {
    auto info = std::make_shared<TestHistoryInfo>();
    info->timestamp = Date::fromTimeIntervalSince1970(t);
    info->sessionId = std::move(sid);
    info->count = count;
    info->flag = true;
    info->ratio = 0.1;
    return info;
}

class KeyedArchiverTest : public ::testing::Test {
protected:
    void SetUp() override { archivetest::registerTestClasses(); }
};

}  // namespace

TEST_F(KeyedArchiverTest, PlainValuesRoundTripWithTheirExactTypes) {
    UUID uuid = UUID::random();
    Dictionary d{
        {"text", Value("Grüße 👋 \"quoted\"")},
        {"empty", Value("")},
        {"yes", Value(true)},
        {"no", Value(false)},
        {"zero", Value(0)},
        {"one", Value(1)},
        {"minusOne", Value(-1)},
        {"min", Value(INT64_MIN)},
        {"max", Value(INT64_MAX)},
        {"two", Value(2.0)},
        {"tiny", Value(1e-300)},
        {"negative", Value(-0.25)},
        {"now", Value(Date::fromTimeIntervalSince1970(1765080393.123456789))},
        {"before2001", Value(Date::fromTimeIntervalSinceReferenceDate(-5.25))},
        {"uuid", Value(uuid)},
        {"data", Value(Data{0, 1, 2, 255})},
        {"noData", Value(Data{})},
        {"array", Value(Array{Value("a"), Value(Array{}), Value(Dictionary{}), Value(3), Value("a")})},
        {"$class", Value("a key that looks like the archive's own")},
    };
    Value back = roundTrip(Value(d));
    ASSERT_TRUE(back.isDictionary());
    EXPECT_EQ(back, Value(d));
    // Types survive, not only values that compare equal as numbers.
    EXPECT_TRUE(back["yes"].isBool());
    EXPECT_TRUE(back["one"].isInteger());
    EXPECT_TRUE(back["two"].isReal());
    EXPECT_EQ(back["now"].date()->timeIntervalSince1970(), 1765080393.123456789);
    EXPECT_EQ(*back["uuid"].uuid(), uuid);

    for (const Value &v : {Value("alone"), Value(42), Value(true), Value(Data{7}), Value(), Value(Array{})})
        EXPECT_EQ(roundTrip(v), v) << v.description();
}

TEST_F(KeyedArchiverTest, ObjectsRoundTripWithSharingNilFieldsAndScalars) {
    auto holder = std::make_shared<TestHolder>();
    holder->current = makeInfo(1000.5, "session-b", -7);
    holder->history = {makeInfo(10, std::nullopt, 0), holder->current};
    holder->properties = std::map<std::string, std::string>{{"k", "v"}};
    holder->history[0]->flag = false;

    Value back = roundTrip(Value(holder));
    auto decoded = back.objectAs<TestHolder>();
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(decoded->current);
    EXPECT_TRUE(decoded->current->isEqual(*holder->current));
    ASSERT_EQ(decoded->history.size(), 2u);
    EXPECT_TRUE(decoded->history[0]->isEqual(*holder->history[0]));
    EXPECT_FALSE(decoded->history[0]->sessionId.has_value());
    // One object referenced twice is decoded once.
    EXPECT_EQ(decoded->history[1], decoded->current);
    EXPECT_EQ(decoded->properties, holder->properties);

    // The archive is what libplist writes for the same tree, so that files
    // written before and after read alike to every reader.
    const auto archive = KeyedArchiver::archivedDataWithRootObject(Value(holder));
    ASSERT_TRUE(archive);
    const auto rewritten = PlistNode::parse(*archive).toBinary();
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(*archive, *rewritten);

    auto empty = std::make_shared<TestHolder>();
    auto emptyBack = roundTrip(Value(empty)).objectAs<TestHolder>();
    ASSERT_TRUE(emptyBack);
    EXPECT_FALSE(emptyBack->current);
    EXPECT_FALSE(emptyBack->properties);
}

TEST_F(KeyedArchiverTest, ValuesThatCannotBeArchivedAreRefusedWithAnError) {
    ErrorPtr error;
    auto notCoding = std::make_shared<archivetest::NotCoding>();
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(Array{Value(1), Value(notCoding)}), &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("NotCoding"), std::string::npos);

    error.reset();
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(std::string("a\0b", 3)), &error));
    EXPECT_TRUE(error);

    KeyedArchiver archiver;
    archiver.encodeObject(Value("x"), "root");
    ASSERT_TRUE(archiver.finishEncoding());
    archiver.encodeObject(Value("late"), "root");
    EXPECT_FALSE(archiver.finishEncoding(&error));
}

TEST_F(KeyedArchiverTest, Python3PlistlibReadsOurArchive) {
    testsupport::TemporaryDirectory dir;
    auto holder = std::make_shared<TestHolder>();
    holder->current = makeInfo(978307200.0 + 1.5, "sess", 5);
    holder->history = {holder->current};
    holder->properties = std::map<std::string, std::string>{{"name", "välue"}};
    UUID uuid = UUID::random();
    auto data =
        KeyedArchiver::archivedDataWithRootObject(Value(Dictionary{{"holder", Value(holder)}, {"uuid", Value(uuid)}}));
    ASSERT_TRUE(data);
    ASSERT_EQ(std::string(data->begin(), data->begin() + 8), "bplist00");
    auto path = dir.path() / "archive.plist";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data->data()), data->size());

    auto script = dir.path() / "check.py";
    std::ofstream(script) << R"PY(
import plistlib, sys
with open(sys.argv[1], 'rb') as f:
    a = plistlib.load(f)
assert a['$archiver'] == 'NSKeyedArchiver' and a['$version'] == 100000
o = a['$objects']
assert o[0] == '$null'
def get(uid): return o[uid.data]
def cls(d): return get(d['$class'])['$classname']
top = get(a['$top']['root'])
assert cls(top) == 'NSDictionary'
fields = dict(zip([get(k) for k in top['NS.keys']], [get(v) for v in top['NS.objects']]))
u = fields['uuid']
assert cls(u) == 'NSUUID' and u['NS.uuidbytes'].hex().upper() == sys.argv[2]
root = fields['holder']
assert cls(root) == 'TestHolder', cls(root)
assert get(root['$class'])['$classes'] == ['TestHolder', 'NSObject']
cur = get(root['current'])
assert cls(cur) == 'TestHistoryInfo'
assert get(cur['sessionIdKey']) == 'sess'
assert cur['count'] == 5 and cur['flag'] is True and cur['ratio'] == 0.1
ts = get(cur['timestampKey'])
assert cls(ts) == 'NSDate' and ts['NS.time'] == 1.5
hist = get(root['history'])
assert cls(hist) == 'NSArray' and hist['NS.objects'] == [root['current']]
props = get(root['properties'])
assert cls(props) == 'NSDictionary'
assert [get(k) for k in props['NS.keys']] == ['name'] and [get(v) for v in props['NS.objects']] == ['välue']
print('OK')
)PY";
    std::string hex;
    for (char c : uuid.UUIDString())
        if (c != '-') hex.push_back(c);
    int code = -1;
    std::string out =
        testsupport::runCommand("python3 " + script.string() + " " + path.string() + " " + hex + " 2>&1", &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out, "OK\n");
}
