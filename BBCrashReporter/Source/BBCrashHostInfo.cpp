#include "BBCrashHostInfo.h"

#include "bbcrash_sysctl.h"
#include "platform/syslog/SystemLog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

std::shared_ptr<BBCrashHostInfo> BBCrashHostInfo::currentHostInfo() {
    char *release = bbcrash_sysctl_string("kern.osrelease");
    if (release == nullptr) {
        int err = errno;
        char line[256];
        std::snprintf(line, sizeof(line), "[BBCrashReporter] Failed to fetch kern.osrelease value %d: %s", err,
                      std::strerror(err));
        platform::SystemLog::write(line);
        return nullptr;
    }
    auto info = makeWithRelease(release);
    std::free(release);
    return info;
}

std::shared_ptr<BBCrashHostInfo> BBCrashHostInfo::makeWithRelease(const char *release) {
    auto info = std::shared_ptr<BBCrashHostInfo>(new BBCrashHostInfo());
    uint64_t *parts[3] = {&info->darwinVersion_.major, &info->darwinVersion_.minor, &info->darwinVersion_.revision};
    const char *p = release;
    bool complete = true;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*p != '.') {
                complete = false;
                break;
            }
            ++p;
        }
        if (*p < '0' || *p > '9') {
            complete = false;
            break;
        }
        char *end = nullptr;
        *parts[i] = std::strtoull(p, &end, 10);
        p = end;
    }
    if (!complete) {
        std::string line = std::string("[BBCrashReporter] Unexpected kern.osrelease string format: ") + release;
        platform::SystemLog::write(line);
    }
    return info;
}
