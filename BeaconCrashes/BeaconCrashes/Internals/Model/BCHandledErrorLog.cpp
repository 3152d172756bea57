#include "BCHandledErrorLog.h"

#include "BCModelUtil.h"

BCHandledErrorLog::BCHandledErrorLog() { setType("handledError"); }

nlohmann::ordered_json BCHandledErrorLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCLogWithProperties::serializeToDictionary();
    BCModelUtil::addString(dict, "id", errorId);
    if (exception) dict["exception"] = exception->serializeToDictionary();
    return dict;
}

bool BCHandledErrorLog::isValid() const {
    if (!BCLogWithProperties::isValid()) return false;
    if (!errorId) return BCModelUtil::invalid(className(), "errorId");
    if (!exception) return BCModelUtil::invalid(className(), "exception");
    return true;
}

bool BCHandledErrorLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCHandledErrorLog *>(&other);
    return log && BCLogWithProperties::isEqual(other) && errorId == log->errorId &&
           BCModelUtil::objectsMatch(exception, log->exception);
}

void BCHandledErrorLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCLogWithProperties::encodeWithCoder(coder);
    coder.encodeObject(errorId, "id");
    coder.encodeObject(exception, "exception");
}

void BCHandledErrorLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCLogWithProperties::initWithCoder(coder);
    errorId = coder.decodeStringForKey("id");
    exception = coder.decodeObjectOfClassForKey<BCException>("exception");
}
