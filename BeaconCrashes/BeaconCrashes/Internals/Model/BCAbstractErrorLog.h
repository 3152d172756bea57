#pragma once
// The fields every error log shares: the process that failed, its thread,
// whether the error was fatal, the launch time and the architecture.
#include <cstdint>
#include <optional>
#include <string>

#include "BCLogWithProperties.h"
#include "BCModel.h"
#include "platform/foundation/Date.h"

class BCAbstractErrorLog : public BCLogWithProperties {
public:
    std::optional<std::string> errorId;
    std::optional<int64_t> processId;
    std::optional<std::string> processName;
    std::optional<int64_t> parentProcessId;
    std::optional<std::string> parentProcessName;
    std::optional<int64_t> errorThreadId;
    std::optional<std::string> errorThreadName;
    bool fatal = false;
    std::optional<platform::Date> appLaunchTimestamp;
    std::optional<std::string> architecture;

    bool isFatal() const { return fatal; }

    std::string className() const override { return "BCAbstractErrorLog"; }
    // The base's keys, then "id", "processId", "processName",
    // "parentProcessId", "parentProcessName", "errorThreadId",
    // "errorThreadName", "fatal" (always), "appLaunchTimestamp",
    // "architecture".
    nlohmann::ordered_json serializeToDictionary() const override;
    // The base's rules, then errorId, processId and processName.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
