#pragma once
// The uncaught exception a crash began with: name, reason and, when the
// report has them, the frames of the stack it was raised on.
#include "BBCrashReportStackFrameInfo.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class BBCrashReportExceptionInfo {
public:
    using Frames = std::vector<std::shared_ptr<const BBCrashReportStackFrameInfo>>;

    // Without frames.
    BBCrashReportExceptionInfo(std::optional<std::string> exceptionName, std::optional<std::string> exceptionReason);
    BBCrashReportExceptionInfo(std::optional<std::string> exceptionName, std::optional<std::string> exceptionReason,
                               std::optional<Frames> stackFrames);

    const std::optional<std::string> &exceptionName() const { return exceptionName_; }
    const std::optional<std::string> &exceptionReason() const { return exceptionReason_; }
    const std::optional<Frames> &stackFrames() const { return stackFrames_; }

private:
    std::optional<std::string> exceptionName_;
    std::optional<std::string> exceptionReason_;
    std::optional<Frames> stackFrames_;
};
