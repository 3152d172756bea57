#pragma once
// The application that crashed, as the report names it.
#include <optional>
#include <string>

class BBCrashReportApplicationInfo {
public:
    BBCrashReportApplicationInfo(std::optional<std::string> applicationIdentifier,
                                 std::optional<std::string> applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion);

    const std::optional<std::string> &applicationIdentifier() const { return applicationIdentifier_; }
    const std::optional<std::string> &applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string> &applicationMarketingVersion() const { return applicationMarketingVersion_; }

private:
    std::optional<std::string> applicationIdentifier_;
    std::optional<std::string> applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};
