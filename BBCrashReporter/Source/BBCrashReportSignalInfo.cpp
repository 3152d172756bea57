#include "BBCrashReportSignalInfo.h"

BBCrashReportSignalInfo::BBCrashReportSignalInfo(std::optional<std::string> name, std::optional<std::string> code,
                                                 uint64_t address)
    : name_(std::move(name)), code_(std::move(code)), address_(address) {}
