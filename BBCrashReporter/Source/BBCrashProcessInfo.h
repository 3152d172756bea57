#pragma once
// A description of one process: id, name, parent, start time, traced flag.
// Read from /proc; not for the crash path.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

class BBCrashProcessInfo {
public:
    struct StartTime {
        uint64_t seconds;  // since 1970
        uint32_t microseconds;
    };

    // The calling process, or null when it cannot be described.
    static std::shared_ptr<BBCrashProcessInfo> currentProcessInfo();
    // The process with that id, or null when there is none (or it cannot be
    // read).
    static std::shared_ptr<BBCrashProcessInfo> make(pid_t processID);

    pid_t processID() const { return processID_; }
    // The valid UTF-8 prefix (at most 16 bytes) of the command name; absent
    // when empty.
    const std::optional<std::string> &processName() const { return processName_; }
    pid_t parentProcessID() const { return parentProcessID_; }
    StartTime startTime() const { return startTime_; }
    bool isTraced() const { return traced_; }

private:
    BBCrashProcessInfo() = default;

    pid_t processID_ = 0;
    std::optional<std::string> processName_;
    pid_t parentProcessID_ = 0;
    StartTime startTime_{0, 0};
    bool traced_ = false;
};
