#include "BBCrashReportRegisterInfo.h"

BBCrashReportRegisterInfo::BBCrashReportRegisterInfo(std::optional<std::string> registerName, uint64_t registerValue)
    : registerName_(std::move(registerName)), registerValue_(registerValue) {}
