#pragma once
// The SDK that sent a common-schema event, with the per-target epoch and
// sequence number.
#include <cstdint>
#include <optional>
#include <string>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/UUID.h"

class BCSDKExtension : public BCSerializableObject, public BCModel {
public:
    std::optional<std::string> libVer;
    std::optional<std::string> epoch;
    int64_t seq = 0;  // written to JSON only when not 0
    std::optional<platform::UUID> installId;

    std::string className() const override { return "BCSDKExtension"; }
    // "libVer", "epoch", "installId", "seq"; null when nothing is written.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isValid() const override { return true; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
