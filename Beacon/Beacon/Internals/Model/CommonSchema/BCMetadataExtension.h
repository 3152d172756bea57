#pragma once
// Field metadata of a common-schema event (a dictionary written as it is).
#include <optional>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Value.h"

class BCMetadataExtension : public BCSerializableObject, public BCModel {
public:
    std::optional<platform::Dictionary> metadata;

    std::string className() const override { return "BCMetadataExtension"; }
    // The metadata dictionary; null when it is absent or empty.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isValid() const override { return true; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
