#pragma once
// One frame of a stack: its instruction pointer and, when known, its symbol.
#include "BBCrashReportSymbolInfo.h"

#include <memory>

class BBCrashReportStackFrameInfo {
public:
    BBCrashReportStackFrameInfo(uint64_t instructionPointer, std::shared_ptr<const BBCrashReportSymbolInfo> symbolInfo);

    uint64_t instructionPointer() const { return instructionPointer_; }
    const std::shared_ptr<const BBCrashReportSymbolInfo> &symbolInfo() const { return symbolInfo_; }

private:
    uint64_t instructionPointer_;
    std::shared_ptr<const BBCrashReportSymbolInfo> symbolInfo_;
};
