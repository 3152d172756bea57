#pragma once
// The session id that became current at a time.
#include <optional>
#include <string>

#include "BCHistoryInfo.h"

class BCSessionHistoryInfo : public BCHistoryInfo {
public:
    BCSessionHistoryInfo() = default;
    BCSessionHistoryInfo(platform::Date timestamp, std::optional<std::string> sessionId)
        : BCHistoryInfo(timestamp), sessionId(std::move(sessionId)) {}

    std::optional<std::string> sessionId;

    std::string className() const override { return "BCSessionHistoryInfo"; }
    // The timestamp, then the id under "sessionIdKey".
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
