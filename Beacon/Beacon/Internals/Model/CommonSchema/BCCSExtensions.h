#pragma once
// The extensions of a common-schema event, each kept by reference and each
// optional.
#include <memory>

#include "BCAppExtension.h"
#include "BCDeviceExtension.h"
#include "BCLocExtension.h"
#include "BCMetadataExtension.h"
#include "BCModel.h"
#include "BCNetExtension.h"
#include "BCOSExtension.h"
#include "BCProtocolExtension.h"
#include "BCSDKExtension.h"
#include "BCSerializableObject.h"
#include "BCUserExtension.h"

class BCCSExtensions : public BCSerializableObject, public BCModel {
public:
    std::shared_ptr<BCMetadataExtension> metadataExt;
    std::shared_ptr<BCProtocolExtension> protocolExt;
    std::shared_ptr<BCUserExtension> userExt;
    std::shared_ptr<BCDeviceExtension> deviceExt;
    std::shared_ptr<BCOSExtension> osExt;
    std::shared_ptr<BCAppExtension> appExt;
    std::shared_ptr<BCNetExtension> netExt;
    std::shared_ptr<BCSDKExtension> sdkExt;
    std::shared_ptr<BCLocExtension> locExt;

    std::string className() const override { return "BCCSExtensions"; }
    // "metadata", "protocol", "user", "device", "os", "app", "net", "sdk",
    // "loc": each member that is present and writes something.
    nlohmann::ordered_json serializeToDictionary() const override;
    // Every present member is valid.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
