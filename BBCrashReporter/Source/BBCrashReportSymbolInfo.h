#pragma once
// The symbol a frame's address falls in.
#include <cstdint>
#include <optional>
#include <string>

class BBCrashReportSymbolInfo {
public:
    BBCrashReportSymbolInfo(std::optional<std::string> symbolName, uint64_t startAddress, uint64_t endAddress);

    const std::optional<std::string> &symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    // 0 when the report has none.
    uint64_t endAddress() const { return endAddress_; }

private:
    std::optional<std::string> symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};
