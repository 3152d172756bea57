#include "BBCrashReportApplicationInfo.h"

BBCrashReportApplicationInfo::BBCrashReportApplicationInfo(std::optional<std::string> applicationIdentifier,
                                                           std::optional<std::string> applicationVersion,
                                                           std::optional<std::string> applicationMarketingVersion)
    : applicationIdentifier_(std::move(applicationIdentifier)), applicationVersion_(std::move(applicationVersion)),
      applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}
