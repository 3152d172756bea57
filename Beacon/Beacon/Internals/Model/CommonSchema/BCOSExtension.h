#pragma once
// The operating system of a common-schema event.
#include <optional>
#include <string>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCOSExtension : public BCSerializableObject, public BCModel {
public:
    std::optional<std::string> name;
    std::optional<std::string> ver;

    std::string className() const override { return "BCOSExtension"; }
    // "ver", then "name"; null when no field is present.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isValid() const override { return true; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
