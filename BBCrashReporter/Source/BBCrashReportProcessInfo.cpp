#include "BBCrashReportProcessInfo.h"

BBCrashReportProcessInfo::BBCrashReportProcessInfo(std::optional<std::string> processName, uint32_t processID,
                                                   std::optional<std::string> processPath,
                                                   std::optional<platform::Date> processStartTime,
                                                   std::optional<std::string> parentProcessName,
                                                   uint32_t parentProcessID, bool native)
    : processName_(std::move(processName)), processID_(processID), processPath_(std::move(processPath)),
      processStartTime_(processStartTime), parentProcessName_(std::move(parentProcessName)),
      parentProcessID_(parentProcessID), native_(native) {}
