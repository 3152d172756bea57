#include "BBCrashReportStackFrameInfo.h"

BBCrashReportStackFrameInfo::BBCrashReportStackFrameInfo(uint64_t instructionPointer,
                                                         std::shared_ptr<const BBCrashReportSymbolInfo> symbolInfo)
    : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}
