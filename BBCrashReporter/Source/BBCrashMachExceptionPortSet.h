#pragma once
// A set of exception port registrations (the ports a task or thread had for
// its exception types), and its fixed-size copy that the crash path reads.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/mach/exception_types.h"

class BBCrashMachExceptionPort;

// Async-safe copy of a port set: `count` entries of parallel arrays, one per
// registration (at most one per exception type).
struct bbcrash_mach_exception_port_set {
    uint32_t count;
    platform::mach::exception_mask_t masks[platform::mach::EXC_TYPES_COUNT];
    platform::mach::mach_port_t ports[platform::mach::EXC_TYPES_COUNT];
    platform::mach::exception_behavior_t behaviors[platform::mach::EXC_TYPES_COUNT];
    platform::mach::thread_state_flavor_t flavors[platform::mach::EXC_TYPES_COUNT];
};

class BBCrashMachExceptionPortSet {
public:
    using Set = std::vector<std::shared_ptr<BBCrashMachExceptionPort>>;

    // At most EXC_TYPES_COUNT ports (more is a programming error and stops
    // the process); the copy is filled in the order of `set`.
    explicit BBCrashMachExceptionPortSet(Set set);
    // From ports the kernel handed over: one port object per entry (each
    // takes a reference of its own), then the handed-over reference of each
    // entry's port is released. At most EXC_TYPES_COUNT entries.
    explicit BBCrashMachExceptionPortSet(const bbcrash_mach_exception_port_set &asyncSafeRepresentation);

    const Set &set() const { return set_; }
    bbcrash_mach_exception_port_set asyncSafeRepresentation() const { return asyncSafeRepresentation_; }

    Set::const_iterator begin() const { return set_.begin(); }
    Set::const_iterator end() const { return set_.end(); }

private:
    Set set_;
    bbcrash_mach_exception_port_set asyncSafeRepresentation_{};
};
