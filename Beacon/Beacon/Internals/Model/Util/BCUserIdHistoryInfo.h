#pragma once
// The user id that became current at a time.
#include <optional>
#include <string>

#include "BCHistoryInfo.h"

class BCUserIdHistoryInfo : public BCHistoryInfo {
public:
    BCUserIdHistoryInfo() = default;
    BCUserIdHistoryInfo(platform::Date timestamp, std::optional<std::string> userId)
        : BCHistoryInfo(timestamp), userId(std::move(userId)) {}

    std::optional<std::string> userId;

    std::string className() const override { return "BCUserIdHistoryInfo"; }
    // The timestamp, then the id under "userIdKey".
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
