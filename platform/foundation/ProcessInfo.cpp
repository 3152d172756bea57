#include "platform/foundation/ProcessInfo.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <unistd.h>

extern char **environ;

namespace platform {

std::shared_ptr<ProcessInfo> ProcessInfo::processInfo() {
    // Never destroyed: worker threads may still use it while the process exits.
    static const auto *info = new std::shared_ptr<ProcessInfo>(std::make_shared<ProcessInfo>());
    return *info;
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string &name) const {
    const char *value = getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::map<std::string, std::string> ProcessInfo::environment() const {
    std::map<std::string, std::string> result;
    for (char **e = environ; e && *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq == std::string::npos) continue;
        result.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return result;
}

int ProcessInfo::processIdentifier() const { return static_cast<int>(getpid()); }

std::string ProcessInfo::processName() const {
    auto path = executablePath();
    if (!path.empty()) return path.filename().string();
    return program_invocation_short_name ? program_invocation_short_name : "";
}

std::filesystem::path ProcessInfo::executablePath() const {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return path;
}

bool ProcessInfo::isDebuggerAttached() const { return checkedIsDebuggerAttached().value_or(false); }

std::optional<bool> ProcessInfo::checkedIsDebuggerAttached() const {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
    return std::nullopt;
}

double ProcessInfo::systemUptime() const {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace platform
