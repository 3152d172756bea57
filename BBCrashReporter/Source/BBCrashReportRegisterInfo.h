#pragma once
// One register of the crashed thread: its name and value.
#include <cstdint>
#include <optional>
#include <string>

class BBCrashReportRegisterInfo {
public:
    BBCrashReportRegisterInfo(std::optional<std::string> registerName, uint64_t registerValue);

    const std::optional<std::string> &registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }

private:
    std::optional<std::string> registerName_;
    uint64_t registerValue_;
};
