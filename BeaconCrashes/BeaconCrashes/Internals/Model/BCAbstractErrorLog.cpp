#include "BCAbstractErrorLog.h"

#include "BCModelUtil.h"
#include "BCUtility.h"

nlohmann::ordered_json BCAbstractErrorLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCLogWithProperties::serializeToDictionary();
    BCModelUtil::addString(dict, "id", errorId);
    BCModelUtil::addNumber(dict, "processId", processId);
    BCModelUtil::addString(dict, "processName", processName);
    BCModelUtil::addNumber(dict, "parentProcessId", parentProcessId);
    BCModelUtil::addString(dict, "parentProcessName", parentProcessName);
    BCModelUtil::addNumber(dict, "errorThreadId", errorThreadId);
    BCModelUtil::addString(dict, "errorThreadName", errorThreadName);
    dict["fatal"] = fatal;
    if (appLaunchTimestamp) dict["appLaunchTimestamp"] = BCUtility::dateToISO8601(*appLaunchTimestamp);
    BCModelUtil::addString(dict, "architecture", architecture);
    return dict;
}

bool BCAbstractErrorLog::isValid() const {
    if (!BCLogWithProperties::isValid()) return false;
    if (!errorId) return BCModelUtil::invalid(className(), "errorId");
    if (!processId) return BCModelUtil::invalid(className(), "processId");
    if (!processName) return BCModelUtil::invalid(className(), "processName");
    return true;
}

bool BCAbstractErrorLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCAbstractErrorLog *>(&other);
    return log && BCLogWithProperties::isEqual(other) && errorId == log->errorId && processId == log->processId &&
           processName == log->processName && parentProcessId == log->parentProcessId &&
           parentProcessName == log->parentProcessName && errorThreadId == log->errorThreadId &&
           errorThreadName == log->errorThreadName && fatal == log->fatal &&
           appLaunchTimestamp == log->appLaunchTimestamp && architecture == log->architecture;
}

void BCAbstractErrorLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCLogWithProperties::encodeWithCoder(coder);
    coder.encodeObject(errorId, "id");
    coder.encodeObject(BCModelUtil::numberValue(processId), "processId");
    coder.encodeObject(processName, "processName");
    coder.encodeObject(BCModelUtil::numberValue(parentProcessId), "parentProcessId");
    coder.encodeObject(parentProcessName, "parentProcessName");
    coder.encodeObject(BCModelUtil::numberValue(errorThreadId), "errorThreadId");
    coder.encodeObject(errorThreadName, "errorThreadName");
    coder.encodeBool(fatal, "fatal");
    coder.encodeObject(appLaunchTimestamp ? platform::Value(*appLaunchTimestamp) : platform::Value(),
                       "appLaunchTimestamp");
    coder.encodeObject(architecture, "architecture");
}

void BCAbstractErrorLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCLogWithProperties::initWithCoder(coder);
    errorId = coder.decodeStringForKey("id");
    processId = BCModelUtil::decodeInteger(coder, "processId");
    processName = coder.decodeStringForKey("processName");
    parentProcessId = BCModelUtil::decodeInteger(coder, "parentProcessId");
    parentProcessName = coder.decodeStringForKey("parentProcessName");
    errorThreadId = BCModelUtil::decodeInteger(coder, "errorThreadId");
    errorThreadName = coder.decodeStringForKey("errorThreadName");
    fatal = coder.decodeBoolForKey("fatal");
    appLaunchTimestamp = coder.decodeDateForKey("appLaunchTimestamp");
    architecture = coder.decodeStringForKey("architecture");
}
