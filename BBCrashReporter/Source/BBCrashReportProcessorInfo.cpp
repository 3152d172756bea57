#include "BBCrashReportProcessorInfo.h"

BBCrashReportProcessorInfo::BBCrashReportProcessorInfo(BBCrashReportProcessorTypeEncoding typeEncoding, uint64_t type,
                                                       uint64_t subtype)
    : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}
