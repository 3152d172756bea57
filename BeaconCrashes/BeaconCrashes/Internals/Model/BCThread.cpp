#include "BCThread.h"

#include "BCCrashesModelUtil.h"
#include "BCModelUtil.h"

nlohmann::ordered_json BCThread::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addNumber(dict, "id", threadId);
    BCModelUtil::addString(dict, "name", name);
    if (frames) dict["frames"] = BCCrashesModelUtil::jsonArray(*frames);
    if (exception) dict["exception"] = exception->serializeToDictionary();
    return dict;
}

bool BCThread::isValid() const {
    if (!threadId) return BCModelUtil::invalid(className(), "threadId");
    if (!frames || frames->empty()) return BCModelUtil::invalid(className(), "frames");
    return true;
}

bool BCThread::isEqual(const platform::Object &other) const {
    auto thread = dynamic_cast<const BCThread *>(&other);
    return thread && threadId == thread->threadId && name == thread->name &&
           BCCrashesModelUtil::arraysMatch(frames, thread->frames) &&
           BCModelUtil::objectsMatch(exception, thread->exception);
}

void BCThread::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(BCModelUtil::numberValue(threadId), "id");
    coder.encodeObject(name, "name");
    coder.encodeObject(BCCrashesModelUtil::arrayValue(frames), "frames");
    coder.encodeObject(exception, "exception");
}

void BCThread::initWithCoder(platform::KeyedUnarchiver &coder) {
    threadId = BCModelUtil::decodeInteger(coder, "id");
    name = coder.decodeStringForKey("name");
    frames = coder.decodeArrayOfObjectsOfClassForKey<BCStackFrame>("frames");
    exception = coder.decodeObjectOfClassForKey<BCException>("exception");
}
