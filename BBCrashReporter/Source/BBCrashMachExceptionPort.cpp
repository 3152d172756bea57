#include "BBCrashMachExceptionPort.h"

#include <cstdio>

#include "BBCrashMachExceptionPortSet.h"
#include "bbcrash_error_object.h"
#include "platform/mach/exception_ports.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::mach;

namespace {

void logKernelResult(const char *format, kern_return_t kr) {
    char line[128];
    std::snprintf(line, sizeof line, format, kr);
    platform::SystemLog::write(line);
}

// What a get or swap hands over: one entry per registration, each with a
// send right of its own.
struct HandedOver {
    exception_mask_t masks[EXC_TYPES_COUNT];
    mach_port_t ports[EXC_TYPES_COUNT];
    exception_behavior_t behaviors[EXC_TYPES_COUNT];
    thread_state_flavor_t flavors[EXC_TYPES_COUNT];
    mach_msg_type_number_t count = EXC_TYPES_COUNT;

    // The port set, which takes over the rights handed over.
    std::shared_ptr<BBCrashMachExceptionPortSet> portSet() const {
        bbcrash_mach_exception_port_set state{};
        state.count = count;
        for (mach_msg_type_number_t i = 0; i < count; ++i) {
            state.masks[i] = masks[i];
            state.ports[i] = ports[i];
            state.behaviors[i] = behaviors[i];
            state.flavors[i] = flavors[i];
        }
        return std::make_shared<BBCrashMachExceptionPortSet>(state);
    }
};

using GetPorts = kern_return_t (*)(mach_port_t, exception_mask_t, exception_mask_array_t, mach_msg_type_number_t *,
                                   exception_handler_array_t, exception_behavior_array_t, exception_flavor_array_t);
using SwapPorts = kern_return_t (*)(mach_port_t, exception_mask_t, mach_port_t, exception_behavior_t,
                                    thread_state_flavor_t, exception_mask_array_t, mach_msg_type_number_t *,
                                    exception_handler_array_t, exception_behavior_array_t, exception_flavor_array_t);

std::shared_ptr<BBCrashMachExceptionPortSet> fetchPorts(GetPorts get, mach_port_t target, exception_mask_t mask,
                                                        const char *failure,
                                                        std::shared_ptr<const platform::Error> *error) {
    HandedOver old;
    const kern_return_t kr = get(target, mask, old.masks, &old.count, old.ports, old.behaviors, old.flavors);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, failure);
        return nullptr;
    }
    return old.portSet();
}

bool swapPorts(SwapPorts swap, mach_port_t target, const BBCrashMachExceptionPort &port,
               std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet,
               std::shared_ptr<const platform::Error> *error) {
    HandedOver old;
    const kern_return_t kr = swap(target, port.mask(), port.server_port(), port.behavior(), port.flavor(), old.masks,
                                  &old.count, old.ports, old.behaviors, old.flavors);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to swap mach exception ports");
        return false;
    }
    // Without a caller to keep it, the set gives the rights back at once.
    auto previous = old.portSet();
    if (previousPortSet != nullptr) *previousPortSet = std::move(previous);
    return true;
}

}  // namespace

BBCrashMachExceptionPort::BBCrashMachExceptionPort(mach_port_t port, exception_mask_t mask,
                                                   exception_behavior_t behavior, thread_state_flavor_t flavor)
    : port_(port), mask_(mask), behavior_(behavior), flavor_(flavor) {
    if (MACH_PORT_VALID(port_)) {
        const kern_return_t kr = mach_port_mod_refs(mach_task_self(), port_, MACH_PORT_RIGHT_SEND, 1);
        if (kr != KERN_SUCCESS) {
            logKernelResult("[BBCrashReporter] Unexpected error incrementing mach port reference: %d", kr);
        }
    }
}

BBCrashMachExceptionPort::~BBCrashMachExceptionPort() {
    if (MACH_PORT_VALID(port_)) mach_port_mod_refs(mach_task_self(), port_, MACH_PORT_RIGHT_SEND, -1);
}

std::shared_ptr<BBCrashMachExceptionPortSet> BBCrashMachExceptionPort::exceptionPortsForTask(
    task_t task, exception_mask_t mask, std::shared_ptr<const platform::Error> *error) {
    return fetchPorts(task_get_exception_ports, task, mask, "Failed to fetch mach exception ports", error);
}

std::shared_ptr<BBCrashMachExceptionPortSet> BBCrashMachExceptionPort::exceptionPortsForThread(
    thread_t thread, exception_mask_t mask, std::shared_ptr<const platform::Error> *error) {
    return fetchPorts(thread_get_exception_ports, thread, mask, "Failed to swap mach exception ports", error);
}

bool BBCrashMachExceptionPort::registerForTask(task_t task,
                                               std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet,
                                               std::shared_ptr<const platform::Error> *error) const {
    return swapPorts(task_swap_exception_ports, task, *this, previousPortSet, error);
}

bool BBCrashMachExceptionPort::registerForThread(thread_t thread,
                                                 std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet,
                                                 std::shared_ptr<const platform::Error> *error) const {
    return swapPorts(thread_swap_exception_ports, thread, *this, previousPortSet, error);
}
