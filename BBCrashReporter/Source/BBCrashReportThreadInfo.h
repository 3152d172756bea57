#pragma once
// One thread of a report: its number, its stack, whether it crashed, and
// (for the crashed thread) its registers.
#include "BBCrashReportRegisterInfo.h"
#include "BBCrashReportStackFrameInfo.h"

#include <memory>
#include <vector>

class BBCrashReportThreadInfo {
public:
    BBCrashReportThreadInfo(int64_t threadNumber,
                            std::vector<std::shared_ptr<const BBCrashReportStackFrameInfo>> stackFrames, bool crashed,
                            std::vector<std::shared_ptr<const BBCrashReportRegisterInfo>> registers);

    int64_t threadNumber() const { return threadNumber_; }
    const std::vector<std::shared_ptr<const BBCrashReportStackFrameInfo>> &stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    const std::vector<std::shared_ptr<const BBCrashReportRegisterInfo>> &registers() const { return registers_; }

private:
    int64_t threadNumber_;
    std::vector<std::shared_ptr<const BBCrashReportStackFrameInfo>> stackFrames_;
    bool crashed_;
    std::vector<std::shared_ptr<const BBCrashReportRegisterInfo>> registers_;
};
