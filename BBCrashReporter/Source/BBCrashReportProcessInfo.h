#pragma once
// The process that crashed and its parent.
#include "platform/foundation/Date.h"

#include <cstdint>
#include <optional>
#include <string>

class BBCrashReportProcessInfo {
public:
    BBCrashReportProcessInfo(std::optional<std::string> processName, uint32_t processID,
                             std::optional<std::string> processPath, std::optional<platform::Date> processStartTime,
                             std::optional<std::string> parentProcessName, uint32_t parentProcessID, bool native);

    const std::optional<std::string> &processName() const { return processName_; }
    uint32_t processID() const { return processID_; }
    const std::optional<std::string> &processPath() const { return processPath_; }
    const std::optional<platform::Date> &processStartTime() const { return processStartTime_; }
    const std::optional<std::string> &parentProcessName() const { return parentProcessName_; }
    uint32_t parentProcessID() const { return parentProcessID_; }
    bool native() const { return native_; }

private:
    std::optional<std::string> processName_;
    uint32_t processID_;
    std::optional<std::string> processPath_;
    std::optional<platform::Date> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint32_t parentProcessID_;
    bool native_;
};
