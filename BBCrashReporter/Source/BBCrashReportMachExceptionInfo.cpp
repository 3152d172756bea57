#include "BBCrashReportMachExceptionInfo.h"

BBCrashReportMachExceptionInfo::BBCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes)
    : type_(type), codes_(std::move(codes)) {}
