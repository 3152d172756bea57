#include "BCLocExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCLocExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "tz", tz);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCLocExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCLocExtension *>(&other);
    return ext && tz == ext->tz;
}

void BCLocExtension::encodeWithCoder(platform::KeyedArchiver &coder) const { coder.encodeObject(tz, "tz"); }

void BCLocExtension::initWithCoder(platform::KeyedUnarchiver &coder) { tz = coder.decodeStringForKey("tz"); }
