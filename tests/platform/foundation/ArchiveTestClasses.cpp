#include "ArchiveTestClasses.h"

namespace archivetest {

using namespace platform;

bool TestHistoryInfo::isEqual(const Object &other) const {
    auto o = dynamic_cast<const TestHistoryInfo *>(&other);
    return o && o->timestamp == timestamp && o->sessionId == sessionId && o->count == count && o->flag == flag &&
           o->ratio == ratio;
}

void TestHistoryInfo::encodeWithCoder(KeyedArchiver &coder) const {
    coder.encodeObject(timestamp ? Value(*timestamp) : Value(), "timestampKey");
    coder.encodeObject(Value(sessionId), "sessionIdKey");
    coder.encodeInt64(count, "count");
    coder.encodeBool(flag, "flag");
    coder.encodeDouble(ratio, "ratio");
}

std::shared_ptr<Object> TestHistoryInfo::decode(KeyedUnarchiver &coder) {
    auto info = std::make_shared<TestHistoryInfo>();
    info->timestamp = coder.decodeDateForKey("timestampKey");
    info->sessionId = coder.decodeStringForKey("sessionIdKey");
    info->count = coder.decodeInt64ForKey("count");
    info->flag = coder.decodeBoolForKey("flag");
    info->ratio = coder.decodeDoubleForKey("ratio");
    return info;
}

void TestHolder::encodeWithCoder(KeyedArchiver &coder) const {
    coder.encodeObject(Value(current), "current");
    Array items;
    for (const auto &h : history) items.emplace_back(h);
    coder.encodeObject(Value(items), "history");
    if (properties) {
        Dictionary d;
        for (const auto &[k, v] : *properties) d[k] = Value(v);
        coder.encodeObject(Value(d), "properties");
    }
}

std::shared_ptr<Object> TestHolder::decode(KeyedUnarchiver &coder) {
    auto holder = std::make_shared<TestHolder>();
    holder->current = coder.decodeObjectOfClassForKey<TestHistoryInfo>("current");
    auto history = coder.decodeArrayOfObjectsOfClassForKey<TestHistoryInfo>("history");
    if (history) holder->history = *history;
    holder->properties = coder.decodeStringDictionaryForKey("properties");
    return holder;
}

void registerTestClasses() {
    KeyedUnarchiver::registerClass("TestHistoryInfo", &TestHistoryInfo::decode);
    KeyedUnarchiver::registerClass("TestHolder", &TestHolder::decode);
}

}  // namespace archivetest
