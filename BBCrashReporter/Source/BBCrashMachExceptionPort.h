#pragma once
// One exception port registration: a send right with the exception mask,
// behaviour and thread state flavour it is registered with. The object holds
// one user reference on the send right for its lifetime.
#include <memory>

#include "platform/foundation/Error.h"
#include "platform/mach/exception_types.h"

class BBCrashMachExceptionPortSet;

class BBCrashMachExceptionPort {
public:
    // Stores the four values; a port that is neither null nor dead gets one
    // more user reference (a failure is logged).
    BBCrashMachExceptionPort(platform::mach::mach_port_t port, platform::mach::exception_mask_t mask,
                             platform::mach::exception_behavior_t behavior,
                             platform::mach::thread_state_flavor_t flavor);
    ~BBCrashMachExceptionPort();
    BBCrashMachExceptionPort(const BBCrashMachExceptionPort &) = delete;
    BBCrashMachExceptionPort &operator=(const BBCrashMachExceptionPort &) = delete;

    platform::mach::mach_port_t server_port() const { return port_; }
    platform::mach::exception_mask_t mask() const { return mask_; }
    platform::mach::exception_behavior_t behavior() const { return behavior_; }
    platform::mach::thread_state_flavor_t flavor() const { return flavor_; }

    // The ports registered for the types of `mask`; null with code 1 on a
    // kernel failure.
    static std::shared_ptr<BBCrashMachExceptionPortSet> exceptionPortsForTask(
        platform::mach::task_t task, platform::mach::exception_mask_t mask,
        std::shared_ptr<const platform::Error> *error);
    static std::shared_ptr<BBCrashMachExceptionPortSet> exceptionPortsForThread(
        platform::mach::thread_t thread, platform::mach::exception_mask_t mask,
        std::shared_ptr<const platform::Error> *error);

    // Registers this port for the task's (or thread's) types of its mask; on
    // success `*previousPortSet`, when given, receives the ports replaced.
    bool registerForTask(platform::mach::task_t task, std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet,
                         std::shared_ptr<const platform::Error> *error) const;
    bool registerForThread(platform::mach::thread_t thread,
                           std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet,
                           std::shared_ptr<const platform::Error> *error) const;

private:
    platform::mach::mach_port_t port_;
    platform::mach::exception_mask_t mask_;
    platform::mach::exception_behavior_t behavior_;
    platform::mach::thread_state_flavor_t flavor_;
};
