#include "BCException.h"

#include "BCCrashesModelUtil.h"
#include "BCModelUtil.h"

nlohmann::ordered_json BCException::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "type", type);
    BCModelUtil::addString(dict, "message", message);
    BCModelUtil::addString(dict, "stackTrace", stackTrace);
    BCModelUtil::addString(dict, "wrapperSdkName", wrapperSdkName);
    if (frames) dict["frames"] = BCCrashesModelUtil::jsonArray(*frames);
    if (innerExceptions) dict["innerExceptions"] = BCCrashesModelUtil::jsonArray(*innerExceptions);
    return dict;
}

bool BCException::isValid() const {
    if (!type) return BCModelUtil::invalid(className(), "type");
    if (!frames || frames->empty()) return BCModelUtil::invalid(className(), "frames");
    return true;
}

bool BCException::isEqual(const platform::Object &other) const {
    auto exception = dynamic_cast<const BCException *>(&other);
    return exception && type == exception->type && wrapperSdkName == exception->wrapperSdkName &&
           message == exception->message && BCCrashesModelUtil::arraysMatch(frames, exception->frames) &&
           BCCrashesModelUtil::arraysMatch(innerExceptions, exception->innerExceptions) &&
           stackTrace == exception->stackTrace;
}

void BCException::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(type, "type");
    coder.encodeObject(message, "message");
    coder.encodeObject(stackTrace, "stackTrace");
    coder.encodeObject(BCCrashesModelUtil::arrayValue(frames), "frames");
    coder.encodeObject(BCCrashesModelUtil::arrayValue(innerExceptions), "innerExceptions");
    coder.encodeObject(wrapperSdkName, "wrapperSdkName");
}

void BCException::initWithCoder(platform::KeyedUnarchiver &coder) {
    type = coder.decodeStringForKey("type");
    message = coder.decodeStringForKey("message");
    stackTrace = coder.decodeStringForKey("stackTrace");
    frames = coder.decodeArrayOfObjectsOfClassForKey<BCStackFrame>("frames");
    innerExceptions = coder.decodeArrayOfObjectsOfClassForKey<BCException>("innerExceptions");
    wrapperSdkName = coder.decodeStringForKey("wrapperSdkName");
}
