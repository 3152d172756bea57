#pragma once
// The log that carries the custom properties the application set.
#include <optional>

#include "BCAbstractLog.h"
#include "platform/foundation/Value.h"

class BCCustomPropertiesLog : public BCAbstractLog {
public:
    // A log of type "customProperties".
    BCCustomPropertiesLog();

    std::string className() const override { return "BCCustomPropertiesLog"; }

    const std::optional<platform::Dictionary> &properties() const { return properties_; }
    void setProperties(std::optional<platform::Dictionary> properties) { properties_ = std::move(properties); }

    // The base's keys, then "properties" (an object of the values: strings,
    // numbers, booleans, dates as ISO 8601 text).
    nlohmann::ordered_json serializeToDictionary() const override;
    // The base's rules, then a properties dictionary that is not empty.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);

private:
    std::optional<platform::Dictionary> properties_;
};
