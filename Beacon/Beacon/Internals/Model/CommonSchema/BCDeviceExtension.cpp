#include "BCDeviceExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCDeviceExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "localId", localId);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCDeviceExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCDeviceExtension *>(&other);
    return ext && localId == ext->localId;
}

void BCDeviceExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(localId, "localId");
}

void BCDeviceExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    localId = coder.decodeStringForKey("localId");
}
