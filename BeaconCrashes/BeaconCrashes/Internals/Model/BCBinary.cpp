#include "BCBinary.h"

#include "BCCrashesModelUtil.h"
#include "BCModelUtil.h"

nlohmann::ordered_json BCBinary::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "id", binaryId);
    BCModelUtil::addString(dict, "startAddress", startAddress);
    BCModelUtil::addString(dict, "endAddress", endAddress);
    BCModelUtil::addString(dict, "name", name);
    BCModelUtil::addString(dict, "path", path);
    BCModelUtil::addString(dict, "architecture", architecture);
    BCModelUtil::addNumber(dict, "primaryArchitectureId", primaryArchitectureId);
    BCModelUtil::addNumber(dict, "architectureVariantId", architectureVariantId);
    return dict;
}

bool BCBinary::isValid() const {
    if (!binaryId) return BCModelUtil::invalid(className(), "binaryId");
    if (!startAddress) return BCModelUtil::invalid(className(), "startAddress");
    if (!endAddress) return BCModelUtil::invalid(className(), "endAddress");
    if (!name) return BCModelUtil::invalid(className(), "name");
    if (!path) return BCModelUtil::invalid(className(), "path");
    return true;
}

bool BCBinary::isEqual(const platform::Object &other) const {
    auto binary = dynamic_cast<const BCBinary *>(&other);
    return binary && binaryId == binary->binaryId && startAddress == binary->startAddress &&
           endAddress == binary->endAddress && name == binary->name && path == binary->path &&
           architecture == binary->architecture && primaryArchitectureId == binary->primaryArchitectureId &&
           architectureVariantId == binary->architectureVariantId;
}

void BCBinary::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(binaryId, "id");
    coder.encodeObject(startAddress, "startAddress");
    coder.encodeObject(endAddress, "endAddress");
    coder.encodeObject(name, "name");
    coder.encodeObject(path, "path");
    coder.encodeObject(architecture, "architecture");
    coder.encodeObject(BCCrashesModelUtil::unsignedValue(primaryArchitectureId), "primaryArchitectureId");
    coder.encodeObject(BCCrashesModelUtil::unsignedValue(architectureVariantId), "architectureVariantId");
}

void BCBinary::initWithCoder(platform::KeyedUnarchiver &coder) {
    binaryId = coder.decodeStringForKey("id");
    startAddress = coder.decodeStringForKey("startAddress");
    endAddress = coder.decodeStringForKey("endAddress");
    name = coder.decodeStringForKey("name");
    path = coder.decodeStringForKey("path");
    architecture = coder.decodeStringForKey("architecture");
    primaryArchitectureId = BCCrashesModelUtil::decodeUnsigned(coder, "primaryArchitectureId");
    architectureVariantId = BCCrashesModelUtil::decodeUnsigned(coder, "architectureVariantId");
}
