#pragma once
// The log that names the services started at launch.
#include <optional>
#include <string>
#include <vector>

#include "BCAbstractLog.h"

class BCStartServiceLog : public BCAbstractLog {
public:
    // A log of type "startService".
    BCStartServiceLog();

    std::string className() const override { return "BCStartServiceLog"; }

    const std::optional<std::vector<std::string>> &services() const { return services_; }
    void setServices(std::optional<std::vector<std::string>> services) { services_ = std::move(services); }

    // The base's keys, then "services".
    nlohmann::ordered_json serializeToDictionary() const override;
    // The base's rules, then a list of services.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);

private:
    std::optional<std::vector<std::string>> services_;
};
