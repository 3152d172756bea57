#pragma once
// A log with user properties (string keys to string values); the base of
// the handled-error and crash logs.
#include <optional>

#include "BCAbstractLog.h"
#include "platform/foundation/Value.h"

class BCLogWithProperties : public BCAbstractLog {
public:
    std::string className() const override { return "BCLogWithProperties"; }

    const std::optional<platform::Dictionary> &properties() const { return properties_; }
    void setProperties(std::optional<platform::Dictionary> properties) { properties_ = std::move(properties); }

    // The base's keys, then "properties" when it holds at least one entry.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);

private:
    std::optional<platform::Dictionary> properties_;
};
