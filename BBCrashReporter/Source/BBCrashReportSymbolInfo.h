#pragma once
// The symbol a frame's address falls in. Its name is held by the report's
// frames, and lives as long as the symbol does.
#include <cstdint>
#include <optional>
#include <string_view>

class BBCrashReportSymbolInfo {
public:
    BBCrashReportSymbolInfo(std::optional<std::string_view> symbolName, uint64_t startAddress, uint64_t endAddress);

    std::optional<std::string_view> symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    // 0 when the report has none.
    uint64_t endAddress() const { return endAddress_; }

private:
    std::optional<std::string_view> symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};
