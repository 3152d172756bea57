#include "BCOSExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCOSExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "ver", ver);
    BCModelUtil::addString(dict, "name", name);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCOSExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCOSExtension *>(&other);
    return ext && ver == ext->ver && name == ext->name;
}

void BCOSExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(ver, "ver");
    coder.encodeObject(name, "name");
}

void BCOSExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    ver = coder.decodeStringForKey("ver");
    name = coder.decodeStringForKey("name");
}
