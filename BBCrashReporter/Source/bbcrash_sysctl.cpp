#include "bbcrash_sysctl.h"

#include "platform/mach/machine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <utility>

namespace {

bool readFirstLine(const char *path, std::string *line) {
    std::ifstream in(path);
    if (!in || !std::getline(in, *line)) {
        return false;
    }
    while (!line->empty() && (line->back() == '\n' || line->back() == ' ')) {
        line->pop_back();
    }
    return !line->empty();
}

// Cores counted once per (package, core) pair; the logical count when the
// topology cannot be read.
int32_t physicalCpuCount() {
    std::ifstream in("/proc/cpuinfo");
    std::set<std::pair<std::string, std::string>> cores;
    std::string line, package = "0";
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
        std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
        if (key == "physical id") package = value;
        if (key == "core id") cores.insert({package, value});
    }
    if (!cores.empty()) {
        return static_cast<int32_t>(cores.size());
    }
    return static_cast<int32_t>(sysconf(_SC_NPROCESSORS_CONF));
}

}  // namespace

char *bbcrash_sysctl_string(const char *name) {
    std::string value;
    utsname uts{};
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (std::strcmp(name, "kern.osrelease") == 0 || std::strcmp(name, "kern.osversion") == 0 ||
        std::strcmp(name, "hw.machine") == 0) {
        if (uname(&uts) != 0) {
            return nullptr;
        }
        value = std::strcmp(name, "kern.osrelease") == 0   ? uts.release
                : std::strcmp(name, "kern.osversion") == 0 ? uts.version
                                                           : uts.machine;
    } else if (std::strcmp(name, "hw.model") == 0) {
        if (!readFirstLine("/sys/devices/virtual/dmi/id/product_name", &value)) {
            if (uname(&uts) != 0) {
                return nullptr;
            }
            value = uts.machine;
        }
    } else {
        errno = ENOENT;
        return nullptr;
    }
    char *copy = static_cast<char *>(std::malloc(value.size() + 1));
    if (copy == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return copy;
}

bool bbcrash_sysctl_int(const char *name, int32_t *result) {
    if (name == nullptr || result == nullptr) {
        errno = EINVAL;
        return false;
    }
    using namespace platform::mach;
    if (std::strcmp(name, "hw.cputype") == 0) {
#if defined(__x86_64__)
        *result = CPU_TYPE_X86_64;
#else
        *result = CPU_TYPE_ARM64;
#endif
        return true;
    }
    if (std::strcmp(name, "hw.cpusubtype") == 0) {
#if defined(__x86_64__)
        *result = CPU_SUBTYPE_X86_64_ALL;
#else
        *result = CPU_SUBTYPE_ARM64_ALL;
#endif
        return true;
    }
    if (std::strcmp(name, "hw.logicalcpu_max") == 0) {
        *result = static_cast<int32_t>(sysconf(_SC_NPROCESSORS_CONF));
        return true;
    }
    if (std::strcmp(name, "hw.physicalcpu_max") == 0) {
        *result = physicalCpuCount();
        return true;
    }
    if (std::strcmp(name, "sysctl.proc_native") == 0) {
        *result = 1;
        return true;
    }
    errno = ENOENT;
    return false;
}
