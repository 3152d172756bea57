#pragma once
// What a wrapping SDK (a cross-platform layer that embeds this SDK) reports
// about itself. Every field is optional.
#include <optional>
#include <string>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCWrapperSdk : public BCSerializableObject, public BCModel {
public:
    BCWrapperSdk() = default;
    BCWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                 std::optional<std::string> wrapperRuntimeVersion, std::optional<std::string> liveUpdateReleaseLabel,
                 std::optional<std::string> liveUpdateDeploymentKey, std::optional<std::string> liveUpdatePackageHash);

    std::optional<std::string> wrapperSdkVersion;
    std::optional<std::string> wrapperSdkName;
    std::optional<std::string> wrapperRuntimeVersion;
    std::optional<std::string> liveUpdateReleaseLabel;
    std::optional<std::string> liveUpdateDeploymentKey;
    std::optional<std::string> liveUpdatePackageHash;

    std::string className() const override { return "BCWrapperSdk"; }
    nlohmann::ordered_json serializeToDictionary() const override;
    // A wrapper description is always valid.
    bool isValid() const override { return true; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
