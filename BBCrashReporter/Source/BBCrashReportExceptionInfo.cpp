#include "BBCrashReportExceptionInfo.h"

BBCrashReportExceptionInfo::BBCrashReportExceptionInfo(std::optional<std::string> exceptionName,
                                                       std::optional<std::string> exceptionReason)
    : BBCrashReportExceptionInfo(std::move(exceptionName), std::move(exceptionReason), std::nullopt) {}

BBCrashReportExceptionInfo::BBCrashReportExceptionInfo(std::optional<std::string> exceptionName,
                                                       std::optional<std::string> exceptionReason,
                                                       std::optional<Frames> stackFrames)
    : exceptionName_(std::move(exceptionName)), exceptionReason_(std::move(exceptionReason)),
      stackFrames_(std::move(stackFrames)) {}
