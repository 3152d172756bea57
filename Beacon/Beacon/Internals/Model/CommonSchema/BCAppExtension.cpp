#include "BCAppExtension.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCAppExtension::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "id", appId);
    BCModelUtil::addString(dict, "ver", ver);
    BCModelUtil::addString(dict, "name", name);
    BCModelUtil::addString(dict, "locale", locale);
    BCModelUtil::addString(dict, "userId", userId);
    return dict.empty() ? nlohmann::ordered_json() : dict;
}

bool BCAppExtension::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCAppExtension *>(&other);
    return ext && appId == ext->appId && ver == ext->ver && name == ext->name && locale == ext->locale &&
           userId == ext->userId;
}

void BCAppExtension::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(appId, "id");
    coder.encodeObject(ver, "ver");
    coder.encodeObject(name, "name");
    coder.encodeObject(locale, "locale");
    coder.encodeObject(userId, "userId");
}

void BCAppExtension::initWithCoder(platform::KeyedUnarchiver &coder) {
    appId = coder.decodeStringForKey("id");
    ver = coder.decodeStringForKey("ver");
    name = coder.decodeStringForKey("name");
    locale = coder.decodeStringForKey("locale");
    userId = coder.decodeStringForKey("userId");
}
