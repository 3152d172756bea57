#include "BBCrashReportThreadInfo.h"

BBCrashReportThreadInfo::BBCrashReportThreadInfo(
    int64_t threadNumber, std::vector<std::shared_ptr<const BBCrashReportStackFrameInfo>> stackFrames, bool crashed,
    std::vector<std::shared_ptr<const BBCrashReportRegisterInfo>> registers)
    : threadNumber_(threadNumber), stackFrames_(std::move(stackFrames)), crashed_(crashed),
      registers_(std::move(registers)) {}
