#include "BCWrapperSdk.h"

#include "BCModelUtil.h"

BCWrapperSdk::BCWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                           std::optional<std::string> wrapperRuntimeVersion,
                           std::optional<std::string> liveUpdateReleaseLabel,
                           std::optional<std::string> liveUpdateDeploymentKey,
                           std::optional<std::string> liveUpdatePackageHash)
    : wrapperSdkVersion(std::move(wrapperSdkVersion)), wrapperSdkName(std::move(wrapperSdkName)),
      wrapperRuntimeVersion(std::move(wrapperRuntimeVersion)),
      liveUpdateReleaseLabel(std::move(liveUpdateReleaseLabel)),
      liveUpdateDeploymentKey(std::move(liveUpdateDeploymentKey)),
      liveUpdatePackageHash(std::move(liveUpdatePackageHash)) {}

nlohmann::ordered_json BCWrapperSdk::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "wrapperSdkVersion", wrapperSdkVersion);
    BCModelUtil::addString(dict, "wrapperSdkName", wrapperSdkName);
    BCModelUtil::addString(dict, "wrapperRuntimeVersion", wrapperRuntimeVersion);
    BCModelUtil::addString(dict, "liveUpdateReleaseLabel", liveUpdateReleaseLabel);
    BCModelUtil::addString(dict, "liveUpdateDeploymentKey", liveUpdateDeploymentKey);
    BCModelUtil::addString(dict, "liveUpdatePackageHash", liveUpdatePackageHash);
    return dict;
}

bool BCWrapperSdk::isEqual(const platform::Object &other) const {
    auto sdk = dynamic_cast<const BCWrapperSdk *>(&other);
    return sdk && wrapperSdkVersion == sdk->wrapperSdkVersion && wrapperSdkName == sdk->wrapperSdkName &&
           wrapperRuntimeVersion == sdk->wrapperRuntimeVersion &&
           liveUpdateReleaseLabel == sdk->liveUpdateReleaseLabel &&
           liveUpdateDeploymentKey == sdk->liveUpdateDeploymentKey &&
           liveUpdatePackageHash == sdk->liveUpdatePackageHash;
}

void BCWrapperSdk::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeString(wrapperSdkVersion, "wrapperSdkVersion");
    coder.encodeString(wrapperSdkName, "wrapperSdkName");
    coder.encodeString(wrapperRuntimeVersion, "wrapperRuntimeVersion");
    coder.encodeString(liveUpdateReleaseLabel, "liveUpdateReleaseLabel");
    coder.encodeString(liveUpdateDeploymentKey, "liveUpdateDeploymentKey");
    coder.encodeString(liveUpdatePackageHash, "liveUpdatePackageHash");
}

void BCWrapperSdk::initWithCoder(platform::KeyedUnarchiver &coder) {
    wrapperSdkVersion = coder.decodeStringForKey("wrapperSdkVersion");
    wrapperSdkName = coder.decodeStringForKey("wrapperSdkName");
    wrapperRuntimeVersion = coder.decodeStringForKey("wrapperRuntimeVersion");
    liveUpdateReleaseLabel = coder.decodeStringForKey("liveUpdateReleaseLabel");
    liveUpdateDeploymentKey = coder.decodeStringForKey("liveUpdateDeploymentKey");
    liveUpdatePackageHash = coder.decodeStringForKey("liveUpdatePackageHash");
}
