#include "BBCrashReportSymbolInfo.h"

BBCrashReportSymbolInfo::BBCrashReportSymbolInfo(std::optional<std::string> symbolName, uint64_t startAddress,
                                                 uint64_t endAddress)
    : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}
