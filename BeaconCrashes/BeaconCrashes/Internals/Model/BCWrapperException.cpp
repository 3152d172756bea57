#include "BCWrapperException.h"

#include "BCCrashesModelUtil.h"
#include "BCModelUtil.h"

nlohmann::ordered_json BCWrapperException::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    if (modelException) dict["modelException"] = modelException->serializeToDictionary();
    BCModelUtil::addNumber(dict, "processId", processId);
    if (exceptionData) dict["exceptionData"] = BCModelUtil::jsonFromValue(platform::Value(*exceptionData));
    return dict;
}

bool BCWrapperException::isEqual(const platform::Object &other) const {
    auto wrapper = dynamic_cast<const BCWrapperException *>(&other);
    return wrapper && BCModelUtil::objectsMatch(modelException, wrapper->modelException) &&
           exceptionData == wrapper->exceptionData && processId == wrapper->processId;
}

void BCWrapperException::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(modelException, "modelException");
    coder.encodeObject(exceptionData ? platform::Value(*exceptionData) : platform::Value(), "exceptionData");
    coder.encodeObject(BCCrashesModelUtil::unsignedValue(processId), "processId");
}

void BCWrapperException::initWithCoder(platform::KeyedUnarchiver &coder) {
    modelException = coder.decodeObjectOfClassForKey<BCException>("modelException");
    exceptionData = coder.decodeDataForKey("exceptionData");
    processId = BCCrashesModelUtil::decodeUnsigned(coder, "processId");
}
