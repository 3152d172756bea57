#pragma once
// The system a report was written on. Texts are absent when the report's
// bytes are not valid UTF-8.
#include "BBCrashReportProcessorInfo.h"
#include "platform/foundation/Date.h"

#include <memory>
#include <optional>
#include <string>

enum BBCrashReportOperatingSystem : uint32_t {
    BBCrashReportOperatingSystemMacOSX = 0,
    BBCrashReportOperatingSystemiPhoneOS = 1,
    BBCrashReportOperatingSystemiPhoneSimulator = 2,
    BBCrashReportOperatingSystemUnknown = 3,
    BBCrashReportOperatingSystemAppleTVOS = 4,
};

enum BBCrashReportArchitecture : uint32_t {
    BBCrashReportArchitectureX86_32 = 0,
    BBCrashReportArchitectureX86_64 = 1,
    BBCrashReportArchitectureARMv6 = 2,
    BBCrashReportArchitecturePPC = 3,
    BBCrashReportArchitecturePPC64 = 4,
    BBCrashReportArchitectureARMv7 = 5,
    BBCrashReportArchitectureUnknown = 6,
};

class BBCrashReportSystemInfo {
public:
    BBCrashReportSystemInfo(BBCrashReportOperatingSystem operatingSystem,
                            std::optional<std::string> operatingSystemVersion,
                            std::optional<std::string> operatingSystemBuild, BBCrashReportArchitecture architecture,
                            std::shared_ptr<const BBCrashReportProcessorInfo> processorInfo,
                            std::optional<platform::Date> timestamp);

    BBCrashReportOperatingSystem operatingSystem() const { return operatingSystem_; }
    const std::optional<std::string> &operatingSystemVersion() const { return operatingSystemVersion_; }
    const std::optional<std::string> &operatingSystemBuild() const { return operatingSystemBuild_; }
    BBCrashReportArchitecture architecture() const { return architecture_; }
    const std::shared_ptr<const BBCrashReportProcessorInfo> &processorInfo() const { return processorInfo_; }
    const std::optional<platform::Date> &timestamp() const { return timestamp_; }

private:
    BBCrashReportOperatingSystem operatingSystem_;
    std::optional<std::string> operatingSystemVersion_;
    std::optional<std::string> operatingSystemBuild_;
    BBCrashReportArchitecture architecture_;
    std::shared_ptr<const BBCrashReportProcessorInfo> processorInfo_;
    std::optional<platform::Date> timestamp_;
};
