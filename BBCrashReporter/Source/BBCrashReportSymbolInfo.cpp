#include "BBCrashReportSymbolInfo.h"

BBCrashReportSymbolInfo::BBCrashReportSymbolInfo(std::optional<std::string_view> symbolName, uint64_t startAddress,
                                                 uint64_t endAddress)
    : symbolName_(symbolName), startAddress_(startAddress), endAddress_(endAddress) {}
