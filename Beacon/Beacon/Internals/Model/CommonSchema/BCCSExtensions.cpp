#include "BCCSExtensions.h"

#include "BCModelUtil.h"

namespace {

template <typename T>
void addExtension(nlohmann::ordered_json &dict, const char *key, const std::shared_ptr<T> &ext) {
    if (!ext) return;
    nlohmann::ordered_json json = ext->serializeToDictionary();
    if (!json.is_null()) dict[key] = std::move(json);
}

template <typename T>
bool extensionIsValid(const std::shared_ptr<T> &ext) {
    return !ext || ext->isValid();
}

}  // namespace

nlohmann::ordered_json BCCSExtensions::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    addExtension(dict, "metadata", metadataExt);
    addExtension(dict, "protocol", protocolExt);
    addExtension(dict, "user", userExt);
    addExtension(dict, "device", deviceExt);
    addExtension(dict, "os", osExt);
    addExtension(dict, "app", appExt);
    addExtension(dict, "net", netExt);
    addExtension(dict, "sdk", sdkExt);
    addExtension(dict, "loc", locExt);
    return dict;
}

bool BCCSExtensions::isValid() const {
    return extensionIsValid(metadataExt) && extensionIsValid(protocolExt) && extensionIsValid(userExt) &&
           extensionIsValid(deviceExt) && extensionIsValid(osExt) && extensionIsValid(appExt) &&
           extensionIsValid(netExt) && extensionIsValid(sdkExt) && extensionIsValid(locExt);
}

bool BCCSExtensions::isEqual(const platform::Object &other) const {
    auto ext = dynamic_cast<const BCCSExtensions *>(&other);
    return ext && BCModelUtil::objectsMatch(metadataExt, ext->metadataExt) &&
           BCModelUtil::objectsMatch(protocolExt, ext->protocolExt) &&
           BCModelUtil::objectsMatch(userExt, ext->userExt) && BCModelUtil::objectsMatch(deviceExt, ext->deviceExt) &&
           BCModelUtil::objectsMatch(osExt, ext->osExt) && BCModelUtil::objectsMatch(appExt, ext->appExt) &&
           BCModelUtil::objectsMatch(netExt, ext->netExt) && BCModelUtil::objectsMatch(sdkExt, ext->sdkExt) &&
           BCModelUtil::objectsMatch(locExt, ext->locExt);
}

void BCCSExtensions::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(metadataExt, "metadata");
    coder.encodeObject(protocolExt, "protocol");
    coder.encodeObject(userExt, "user");
    coder.encodeObject(deviceExt, "device");
    coder.encodeObject(osExt, "os");
    coder.encodeObject(appExt, "app");
    coder.encodeObject(netExt, "net");
    coder.encodeObject(sdkExt, "sdk");
    coder.encodeObject(locExt, "loc");
}

void BCCSExtensions::initWithCoder(platform::KeyedUnarchiver &coder) {
    metadataExt = coder.decodeObjectOfClassForKey<BCMetadataExtension>("metadata");
    protocolExt = coder.decodeObjectOfClassForKey<BCProtocolExtension>("protocol");
    userExt = coder.decodeObjectOfClassForKey<BCUserExtension>("user");
    deviceExt = coder.decodeObjectOfClassForKey<BCDeviceExtension>("device");
    osExt = coder.decodeObjectOfClassForKey<BCOSExtension>("os");
    appExt = coder.decodeObjectOfClassForKey<BCAppExtension>("app");
    netExt = coder.decodeObjectOfClassForKey<BCNetExtension>("net");
    sdkExt = coder.decodeObjectOfClassForKey<BCSDKExtension>("sdk");
    locExt = coder.decodeObjectOfClassForKey<BCLocExtension>("loc");
}
