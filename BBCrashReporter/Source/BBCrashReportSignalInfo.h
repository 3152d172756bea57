#pragma once
// The signal a crash ended in: its name, its code's name, the fault address.
#include <cstdint>
#include <optional>
#include <string>

class BBCrashReportSignalInfo {
public:
    BBCrashReportSignalInfo(std::optional<std::string> name, std::optional<std::string> code, uint64_t address);

    const std::optional<std::string> &name() const { return name_; }
    const std::optional<std::string> &code() const { return code_; }
    uint64_t address() const { return address_; }

private:
    std::optional<std::string> name_;
    std::optional<std::string> code_;
    uint64_t address_;
};
