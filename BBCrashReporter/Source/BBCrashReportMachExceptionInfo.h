#pragma once
// The Mach exception behind a crash: its type and codes.
#include <cstdint>
#include <vector>

class BBCrashReportMachExceptionInfo {
public:
    BBCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes);

    uint64_t type() const { return type_; }
    const std::vector<uint64_t> &codes() const { return codes_; }

private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};
