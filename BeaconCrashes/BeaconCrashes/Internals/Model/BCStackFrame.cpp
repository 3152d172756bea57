#include "BCStackFrame.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCStackFrame::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "address", address);
    BCModelUtil::addString(dict, "code", code);
    BCModelUtil::addString(dict, "className", frameClassName);
    BCModelUtil::addString(dict, "methodName", methodName);
    BCModelUtil::addNumber(dict, "lineNumber", lineNumber);
    BCModelUtil::addString(dict, "fileName", fileName);
    return dict;
}

bool BCStackFrame::isEqual(const platform::Object &other) const {
    auto frame = dynamic_cast<const BCStackFrame *>(&other);
    return frame && address == frame->address && code == frame->code && frameClassName == frame->frameClassName &&
           methodName == frame->methodName && lineNumber == frame->lineNumber && fileName == frame->fileName;
}

void BCStackFrame::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(address, "address");
    coder.encodeObject(code, "code");
    coder.encodeObject(frameClassName, "className");
    coder.encodeObject(methodName, "methodName");
    coder.encodeObject(BCModelUtil::numberValue(lineNumber), "lineNumber");
    coder.encodeObject(fileName, "fileName");
}

void BCStackFrame::initWithCoder(platform::KeyedUnarchiver &coder) {
    address = coder.decodeStringForKey("address");
    code = coder.decodeStringForKey("code");
    frameClassName = coder.decodeStringForKey("className");
    methodName = coder.decodeStringForKey("methodName");
    lineNumber = BCModelUtil::decodeInteger(coder, "lineNumber");
    fileName = coder.decodeStringForKey("fileName");
}
