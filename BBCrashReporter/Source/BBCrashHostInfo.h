#pragma once
// A description of the host: its kernel version as major.minor.revision.
#include <cstdint>
#include <memory>

struct BBCrashHostInfoVersion {
    uint64_t major;
    uint64_t minor;
    uint64_t revision;
};

class BBCrashHostInfo {
public:
    // A new description each time, or null when the kernel release cannot be
    // read (logged).
    static std::shared_ptr<BBCrashHostInfo> currentHostInfo();
    // Parses a release text such as "19.6.0"; a text that does not have the
    // three numbers is logged and keeps what was scanned (the rest is 0).
    static std::shared_ptr<BBCrashHostInfo> makeWithRelease(const char *release);

    BBCrashHostInfoVersion darwinVersion() const { return darwinVersion_; }

private:
    BBCrashHostInfo() = default;
    BBCrashHostInfoVersion darwinVersion_{0, 0, 0};
};
