#include "BBCrashMachExceptionPortSet.h"

#include <cstdio>
#include <cstdlib>

#include "BBCrashMachExceptionPort.h"
#include "platform/mach/mach_port.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::mach;

namespace {

// More entries than exception types is a programming error.
void requireAtMostTypes(const char *format, unsigned long count) {
    if (count <= EXC_TYPES_COUNT) return;
    char line[128];
    std::snprintf(line, sizeof line, format, count, static_cast<unsigned long>(EXC_TYPES_COUNT));
    platform::SystemLog::write(line);
    std::abort();
}

}  // namespace

BBCrashMachExceptionPortSet::BBCrashMachExceptionPortSet(Set set) : set_(std::move(set)) {
    requireAtMostTypes("Set size of %lu exceeds EXC_TYPES_COUNT (%lu)", set_.size());
    asyncSafeRepresentation_.count = static_cast<uint32_t>(set_.size());
    for (size_t i = 0; i < set_.size(); ++i) {
        asyncSafeRepresentation_.masks[i] = set_[i]->mask();
        asyncSafeRepresentation_.ports[i] = set_[i]->server_port();
        asyncSafeRepresentation_.behaviors[i] = set_[i]->behavior();
        asyncSafeRepresentation_.flavors[i] = set_[i]->flavor();
    }
}

BBCrashMachExceptionPortSet::BBCrashMachExceptionPortSet(const bbcrash_mach_exception_port_set &state)
    : asyncSafeRepresentation_(state) {
    requireAtMostTypes("Count of %lu exceeds EXC_TYPES_COUNT (%lu)", state.count);
    for (uint32_t i = 0; i < state.count; ++i) {
        set_.push_back(std::make_shared<BBCrashMachExceptionPort>(state.ports[i], state.masks[i], state.behaviors[i],
                                                                  state.flavors[i]));
        if (!MACH_PORT_VALID(state.ports[i])) continue;
        const kern_return_t kr = mach_port_mod_refs(mach_task_self(), state.ports[i], MACH_PORT_RIGHT_SEND, -1);
        if (kr != KERN_SUCCESS) {
            char line[128];
            std::snprintf(line, sizeof line, "[BBCrashReporter] Unexpected error decrementing mach port reference: %d",
                          kr);
            platform::SystemLog::write(line);
        }
    }
}
