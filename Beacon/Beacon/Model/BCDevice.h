#pragma once
// The device, operating system, application and SDK that produced a log.
// Its JSON is one flat object: the wrapper SDK's keys first, then the
// device's own.
#include <cstdint>
#include <optional>
#include <string>

#include "BCWrapperSdk.h"

class BCDevice : public BCWrapperSdk {
public:
    std::optional<std::string> sdkName;
    std::optional<std::string> sdkVersion;
    std::optional<std::string> model;
    std::optional<std::string> oemName;
    std::optional<std::string> osName;
    std::optional<std::string> osVersion;
    std::optional<std::string> osBuild;
    std::optional<int64_t> osApiLevel;
    // Identifier of the current locale, such as "en_US".
    std::optional<std::string> locale;
    // Offset of the local time zone from UTC, in minutes (east positive).
    std::optional<int64_t> timeZoneOffset;
    std::optional<std::string> screenSize;
    std::optional<std::string> appVersion;
    std::optional<std::string> carrierName;
    std::optional<std::string> carrierCountry;
    std::optional<std::string> appBuild;
    std::optional<std::string> appNamespace;

    std::string className() const override { return "BCDevice"; }
    nlohmann::ordered_json serializeToDictionary() const override;
    // sdkName, sdkVersion, osName, osVersion, locale, timeZoneOffset,
    // appVersion and appBuild must be present (an empty string passes).
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
