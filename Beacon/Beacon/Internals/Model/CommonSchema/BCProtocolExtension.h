#pragma once
// The protocol facts of a common-schema event: the device's maker and model
// and the ticket keys.
#include <optional>
#include <string>
#include <vector>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCProtocolExtension : public BCSerializableObject, public BCModel {
public:
    std::optional<std::vector<std::string>> ticketKeys;
    std::optional<std::string> devMake;
    std::optional<std::string> devModel;

    std::string className() const override { return "BCProtocolExtension"; }
    // "ticketKeys", "devMake", "devModel"; null when no field is present.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isValid() const override { return true; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
