#pragma once
// The application a common-schema event comes from.
#include <optional>
#include <string>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCAppExtension : public BCSerializableObject, public BCModel {
public:
    std::optional<std::string> appId;  // JSON "id"
    std::optional<std::string> ver;
    std::optional<std::string> name;
    std::optional<std::string> locale;
    std::optional<std::string> userId;

    std::string className() const override { return "BCAppExtension"; }
    // Null when no field is present.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isValid() const override { return true; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
