#include "BBCrashReportSystemInfo.h"

BBCrashReportSystemInfo::BBCrashReportSystemInfo(BBCrashReportOperatingSystem operatingSystem,
                                                 std::optional<std::string> operatingSystemVersion,
                                                 std::optional<std::string> operatingSystemBuild,
                                                 BBCrashReportArchitecture architecture,
                                                 std::shared_ptr<const BBCrashReportProcessorInfo> processorInfo,
                                                 std::optional<platform::Date> timestamp)
    : operatingSystem_(operatingSystem), operatingSystemVersion_(std::move(operatingSystemVersion)),
      operatingSystemBuild_(std::move(operatingSystemBuild)), architecture_(architecture),
      processorInfo_(std::move(processorInfo)), timestamp_(timestamp) {}
