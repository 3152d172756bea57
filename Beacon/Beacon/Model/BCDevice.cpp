#include "BCDevice.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCDevice::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCWrapperSdk::serializeToDictionary();
    BCModelUtil::addString(dict, "sdkName", sdkName);
    BCModelUtil::addString(dict, "sdkVersion", sdkVersion);
    BCModelUtil::addString(dict, "model", model);
    BCModelUtil::addString(dict, "oemName", oemName);
    BCModelUtil::addString(dict, "osName", osName);
    BCModelUtil::addString(dict, "osVersion", osVersion);
    BCModelUtil::addString(dict, "osBuild", osBuild);
    BCModelUtil::addNumber(dict, "osApiLevel", osApiLevel);
    BCModelUtil::addString(dict, "locale", locale);
    BCModelUtil::addNumber(dict, "timeZoneOffset", timeZoneOffset);
    BCModelUtil::addString(dict, "screenSize", screenSize);
    BCModelUtil::addString(dict, "appVersion", appVersion);
    BCModelUtil::addString(dict, "carrierName", carrierName);
    BCModelUtil::addString(dict, "carrierCountry", carrierCountry);
    BCModelUtil::addString(dict, "appBuild", appBuild);
    BCModelUtil::addString(dict, "appNamespace", appNamespace);
    return dict;
}

bool BCDevice::isValid() const {
    if (!BCWrapperSdk::isValid()) return false;
    if (!sdkName) return BCModelUtil::invalid(className(), "sdkName");
    if (!sdkVersion) return BCModelUtil::invalid(className(), "sdkVersion");
    if (!osName) return BCModelUtil::invalid(className(), "osName");
    if (!osVersion) return BCModelUtil::invalid(className(), "osVersion");
    if (!locale) return BCModelUtil::invalid(className(), "locale");
    if (!timeZoneOffset) return BCModelUtil::invalid(className(), "timeZoneOffset");
    if (!appVersion) return BCModelUtil::invalid(className(), "appVersion");
    if (!appBuild) return BCModelUtil::invalid(className(), "appBuild");
    return true;
}

bool BCDevice::isEqual(const platform::Object &other) const {
    auto device = dynamic_cast<const BCDevice *>(&other);
    return device && BCWrapperSdk::isEqual(other) && sdkName == device->sdkName && sdkVersion == device->sdkVersion &&
           model == device->model && oemName == device->oemName && osName == device->osName &&
           osVersion == device->osVersion && osBuild == device->osBuild && osApiLevel == device->osApiLevel &&
           locale == device->locale && timeZoneOffset == device->timeZoneOffset && screenSize == device->screenSize &&
           appVersion == device->appVersion && carrierName == device->carrierName &&
           carrierCountry == device->carrierCountry && appBuild == device->appBuild &&
           appNamespace == device->appNamespace;
}

void BCDevice::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCWrapperSdk::encodeWithCoder(coder);
    coder.encodeString(sdkName, "sdkName");
    coder.encodeString(sdkVersion, "sdkVersion");
    coder.encodeString(model, "model");
    coder.encodeString(oemName, "oemName");
    coder.encodeString(osName, "osName");
    coder.encodeString(osVersion, "osVersion");
    coder.encodeString(osBuild, "osBuild");
    coder.encodeObject(BCModelUtil::numberValue(osApiLevel), "osApiLevel");
    coder.encodeString(locale, "locale");
    coder.encodeObject(BCModelUtil::numberValue(timeZoneOffset), "timeZoneOffset");
    coder.encodeString(screenSize, "screenSize");
    coder.encodeString(appVersion, "appVersion");
    coder.encodeString(carrierName, "carrierName");
    coder.encodeString(carrierCountry, "carrierCountry");
    coder.encodeString(appBuild, "appBuild");
    coder.encodeString(appNamespace, "appNamespace");
}

void BCDevice::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCWrapperSdk::initWithCoder(coder);
    sdkName = coder.decodeStringForKey("sdkName");
    sdkVersion = coder.decodeStringForKey("sdkVersion");
    model = coder.decodeStringForKey("model");
    oemName = coder.decodeStringForKey("oemName");
    osName = coder.decodeStringForKey("osName");
    osVersion = coder.decodeStringForKey("osVersion");
    osBuild = coder.decodeStringForKey("osBuild");
    osApiLevel = BCModelUtil::decodeInteger(coder, "osApiLevel");
    locale = coder.decodeStringForKey("locale");
    timeZoneOffset = BCModelUtil::decodeInteger(coder, "timeZoneOffset");
    screenSize = coder.decodeStringForKey("screenSize");
    appVersion = coder.decodeStringForKey("appVersion");
    carrierName = coder.decodeStringForKey("carrierName");
    carrierCountry = coder.decodeStringForKey("carrierCountry");
    appBuild = coder.decodeStringForKey("appBuild");
    appNamespace = coder.decodeStringForKey("appNamespace");
}
