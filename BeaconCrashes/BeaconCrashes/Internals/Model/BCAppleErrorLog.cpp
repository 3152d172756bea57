#include "BCAppleErrorLog.h"

#include "BCCrashesModelUtil.h"
#include "BCModelUtil.h"

BCAppleErrorLog::BCAppleErrorLog() { setType("appleError"); }

nlohmann::ordered_json BCAppleErrorLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCAbstractErrorLog::serializeToDictionary();
    BCModelUtil::addNumber(dict, "primaryArchitectureId", primaryArchitectureId);
    BCModelUtil::addNumber(dict, "architectureVariantId", architectureVariantId);
    BCModelUtil::addString(dict, "applicationPath", applicationPath);
    BCModelUtil::addString(dict, "osExceptionType", osExceptionType);
    BCModelUtil::addString(dict, "osExceptionCode", osExceptionCode);
    BCModelUtil::addString(dict, "osExceptionAddress", osExceptionAddress);
    BCModelUtil::addString(dict, "exceptionType", exceptionType);
    BCModelUtil::addString(dict, "exceptionReason", exceptionReason);
    BCModelUtil::addString(dict, "selectorRegisterValue", selectorRegisterValue);
    if (threads) dict["threads"] = BCCrashesModelUtil::jsonArray(*threads);
    if (binaries) dict["binaries"] = BCCrashesModelUtil::jsonArray(*binaries);
    if (registers) dict["registers"] = *registers;
    if (exception) dict["exception"] = exception->serializeToDictionary();
    return dict;
}

bool BCAppleErrorLog::isValid() const {
    if (!BCAbstractErrorLog::isValid()) return false;
    if (!primaryArchitectureId) return BCModelUtil::invalid(className(), "primaryArchitectureId");
    if (!applicationPath) return BCModelUtil::invalid(className(), "applicationPath");
    if (!osExceptionType) return BCModelUtil::invalid(className(), "osExceptionType");
    if (!osExceptionCode) return BCModelUtil::invalid(className(), "osExceptionCode");
    if (!osExceptionAddress) return BCModelUtil::invalid(className(), "osExceptionAddress");
    return true;
}

bool BCAppleErrorLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCAppleErrorLog *>(&other);
    return log && BCAbstractErrorLog::isEqual(other) && primaryArchitectureId == log->primaryArchitectureId &&
           architectureVariantId == log->architectureVariantId && applicationPath == log->applicationPath &&
           osExceptionType == log->osExceptionType && osExceptionCode == log->osExceptionCode &&
           osExceptionAddress == log->osExceptionAddress && exceptionType == log->exceptionType &&
           exceptionReason == log->exceptionReason && selectorRegisterValue == log->selectorRegisterValue &&
           BCCrashesModelUtil::arraysMatch(threads, log->threads) &&
           BCCrashesModelUtil::arraysMatch(binaries, log->binaries) && registers == log->registers &&
           BCModelUtil::objectsMatch(exception, log->exception);
}

void BCAppleErrorLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCAbstractErrorLog::encodeWithCoder(coder);
    coder.encodeObject(BCCrashesModelUtil::unsignedValue(primaryArchitectureId), "primaryArchitectureId");
    coder.encodeObject(BCCrashesModelUtil::unsignedValue(architectureVariantId), "architectureVariantId");
    coder.encodeObject(applicationPath, "applicationPath");
    coder.encodeObject(osExceptionType, "osExceptionType");
    coder.encodeObject(osExceptionCode, "osExceptionCode");
    coder.encodeObject(osExceptionAddress, "osExceptionAddress");
    coder.encodeObject(exceptionType, "exceptionType");
    coder.encodeObject(exceptionReason, "exceptionReason");
    coder.encodeObject(selectorRegisterValue, "selectorRegisterValue");
    coder.encodeObject(BCCrashesModelUtil::arrayValue(threads), "threads");
    coder.encodeObject(BCCrashesModelUtil::arrayValue(binaries), "binaries");
    platform::Value registerValue;
    if (registers) {
        platform::Dictionary dict;
        for (const auto &[name, value] : *registers) dict.emplace(name, platform::Value(value));
        registerValue = std::move(dict);
    }
    coder.encodeObject(registerValue, "registers");
    coder.encodeObject(exception, "exception");
}

void BCAppleErrorLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCAbstractErrorLog::initWithCoder(coder);
    primaryArchitectureId = BCCrashesModelUtil::decodeUnsigned(coder, "primaryArchitectureId");
    architectureVariantId = BCCrashesModelUtil::decodeUnsigned(coder, "architectureVariantId");
    applicationPath = coder.decodeStringForKey("applicationPath");
    osExceptionType = coder.decodeStringForKey("osExceptionType");
    osExceptionCode = coder.decodeStringForKey("osExceptionCode");
    osExceptionAddress = coder.decodeStringForKey("osExceptionAddress");
    exceptionType = coder.decodeStringForKey("exceptionType");
    exceptionReason = coder.decodeStringForKey("exceptionReason");
    selectorRegisterValue = coder.decodeStringForKey("selectorRegisterValue");
    threads = coder.decodeArrayOfObjectsOfClassForKey<BCThread>("threads");
    binaries = coder.decodeArrayOfObjectsOfClassForKey<BCBinary>("binaries");
    registers = coder.decodeStringDictionaryForKey("registers");
    exception = coder.decodeObjectOfClassForKey<BCException>("exception");
}
