#include "BCUserExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCUserExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "localId", localId);
    BCModelUtil::addString(dict, "locale", locale);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCUserExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCUserExtension *>(&other);
    return ext && localId == ext->localId && locale == ext->locale;
}

void BCUserExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(localId, "localId");
    coder.encodeObject(locale, "locale");
}

void BCUserExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    localId = coder.decodeStringForKey("localId");
    locale = coder.decodeStringForKey("locale");
}
