#pragma once
// Information about the running process: environment, identity, whether a
// debugger traces it, and the system's uptime.
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class ProcessInfo {
public:
    static std::shared_ptr<ProcessInfo> processInfo();

    // The variable's current value, or nullopt when it is not set.
    std::optional<std::string> environmentValue(const std::string &name) const;
    std::map<std::string, std::string> environment() const;
    int processIdentifier() const;
    // The executable's file name.
    std::string processName() const;
    // The resolved path of the running executable (/proc/self/exe).
    std::filesystem::path executablePath() const;
    // True when a tracer (a debugger) is attached: TracerPid in
    // /proc/self/status is not 0. Read afresh at each call.
    bool isDebuggerAttached() const;
    // The same, with nothing when the status cannot be read or holds no
    // TracerPid line.
    std::optional<bool> checkedIsDebuggerAttached() const;
    // Seconds since the system booted, not counting suspended time.
    double systemUptime() const;
};

}  // namespace platform
