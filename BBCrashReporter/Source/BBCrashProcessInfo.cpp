#include "BBCrashProcessInfo.h"

#include "bbcrash_async.h"

#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace {

// Seconds since 1970 at which the system booted ("btime" of /proc/stat).
bool bootTime(uint64_t *seconds) {
    std::ifstream in("/proc/stat");
    std::string key;
    while (in >> key) {
        if (key == "btime") {
            return static_cast<bool>(in >> *seconds);
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return false;
}

}  // namespace

std::shared_ptr<BBCrashProcessInfo> BBCrashProcessInfo::currentProcessInfo() { return make(getpid()); }

std::shared_ptr<BBCrashProcessInfo> BBCrashProcessInfo::make(pid_t processID) {
    if (processID <= 0) {
        return nullptr;
    }
    const std::string dir = "/proc/" + std::to_string(processID);
    std::ifstream statFile(dir + "/stat");
    std::string stat;
    if (!statFile || !std::getline(statFile, stat)) {
        return nullptr;
    }
    // "pid (comm) state ppid ..."; the name may itself hold parentheses.
    auto open = stat.find('(');
    auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return nullptr;
    }
    std::string comm = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    std::string fields[20];
    for (int i = 0; i < 20 && rest >> field; ++i) {
        fields[i] = field;
    }
    // After the name: state(0) ppid(1) ... starttime(19).
    auto info = std::shared_ptr<BBCrashProcessInfo>(new BBCrashProcessInfo());
    info->processID_ = processID;
    try {
        info->parentProcessID_ = static_cast<pid_t>(std::stol(fields[1]));
        uint64_t ticks = std::stoull(fields[19]);
        uint64_t boot = 0;
        long hz = sysconf(_SC_CLK_TCK);
        if (bootTime(&boot) && hz > 0) {
            info->startTime_.seconds = boot + ticks / static_cast<uint64_t>(hz);
            info->startTime_.microseconds =
                static_cast<uint32_t>((ticks % static_cast<uint64_t>(hz)) * 1000000 / static_cast<uint64_t>(hz));
        }
    } catch (...) {
        return nullptr;
    }
    if (comm.size() > 16) {
        comm.resize(16);
    }
    size_t valid = bbcrash_valid_utf8_length(reinterpret_cast<const uint8_t *>(comm.data()), comm.size());
    if (valid > 0) {
        info->processName_ = comm.substr(0, valid);
    }
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            info->traced_ = std::strtol(line.c_str() + 10, nullptr, 10) != 0;
            break;
        }
    }
    return info;
}
