#include "BCNetExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCNetExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "provider", provider);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCNetExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCNetExtension *>(&other);
    return ext && provider == ext->provider;
}

void BCNetExtension::encodeWithCoder(platform::KeyedArchiver &coder) const { coder.encodeObject(provider, "provider"); }

void BCNetExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    provider = coder.decodeStringForKey("provider");
}
