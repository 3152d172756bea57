// Crash path: exceptionHandlerFor runs in the fault handler; everything
// else runs at set-up time. The tables are static and guarded by the space
// lock, since their slots hold send rights of the space.
#include "platform/mach/exception_ports.h"

#include <mutex>

#include "platform/mach/exception_delivery.h"
#include "platform/mach/exception_tables.h"
#include "platform/mach/port_space.h"
#include "platform/mach/thread_state.h"
#include "platform/mach/thread_syscall.h"

namespace platform::mach {

using namespace detail;

namespace {

struct Slot {
    uint32_t port;  // kNone: no handler
    exception_behavior_t behavior;
    thread_state_flavor_t flavor;
};

struct Table {
    thread_t owner;  // the thread; 0 for a free thread table, kSelfTask for the task's
    Slot slots[EXC_TYPES_COUNT];
};

Table gTaskTable;
Table gThreadTables[kMaxThreadExceptionTables];
bool gTablesReady = false;

// Set-up calls are serialised so that the signal takeover follows the
// tables in order.
std::mutex gSetUpMutex;

void clearTable(Table &table, thread_t owner) {
    table.owner = owner;
    for (Slot &slot : table.slots) slot = {kNone, 0, 0};
}

void prepareTables() {
    if (gTablesReady) return;
    clearTable(gTaskTable, kSelfTask);
    for (Table &table : gThreadTables) clearTable(table, 0);
    gTablesReady = true;
}

void releaseSlots(Table &table) {
    for (Slot &slot : table.slots) {
        if (slot.port != kNone) releaseSend(slot.port);
        slot = {kNone, 0, 0};
    }
}

bool threadExists(thread_t thread) {
    return thread != 0 && thread < kInTransitBit && rawTgkill(rawGetpid(), static_cast<int>(thread), 0) == 0;
}

// The thread's table; with `create`, a new one (reusing tables of threads
// that have exited).
Table *threadTable(thread_t thread, bool create) {
    for (Table &table : gThreadTables) {
        if (table.owner == thread) return &table;
    }
    if (!create) return nullptr;
    for (Table &table : gThreadTables) {
        if (table.owner != 0 && !threadExists(table.owner)) {
            releaseSlots(table);
            table.owner = 0;
        }
        if (table.owner == 0) {
            clearTable(table, thread);
            return &table;
        }
    }
    return nullptr;
}

bool validBehavior(exception_behavior_t behavior, thread_state_flavor_t flavor) {
    switch (behavior & ~MACH_EXCEPTION_CODES) {
    case EXCEPTION_DEFAULT: return true;
    case EXCEPTION_STATE:
    case EXCEPTION_STATE_IDENTITY:
        return flavor == x86_THREAD_STATE || flavor == x86_THREAD_STATE64 || flavor == x86_EXCEPTION_STATE ||
               flavor == x86_EXCEPTION_STATE64;
    default: return false;
    }
}

kern_return_t getPorts(const Table *table, exception_mask_t mask, exception_mask_array_t masks,
                       mach_msg_type_number_t *count, exception_handler_array_t handlers,
                       exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    const mach_msg_type_number_t capacity = *count;
    mach_msg_type_number_t n = 0;
    uint32_t ports[EXC_TYPES_COUNT];
    for (exception_type_t type = FIRST_EXCEPTION; type < static_cast<exception_type_t>(EXC_TYPES_COUNT); ++type) {
        const exception_mask_t bit = 1u << type;
        if ((mask & bit) == 0) continue;
        const Slot slot = table ? table->slots[type] : Slot{kNone, 0, 0};
        mach_msg_type_number_t j = 0;
        while (j < n && !(ports[j] == slot.port && behaviors[j] == slot.behavior && flavors[j] == slot.flavor)) ++j;
        if (j < n) {
            masks[j] |= bit;
            continue;
        }
        if (n == capacity) break;
        ports[n] = slot.port;
        masks[n] = bit;
        behaviors[n] = slot.behavior;
        flavors[n] = slot.flavor;
        ++n;
    }
    // Each entry hands the caller a send right of its own.
    for (mach_msg_type_number_t j = 0; j < n; ++j) {
        handlers[j] = ports[j] == kNone ? MACH_PORT_NULL : copyoutSend(ports[j]);
    }
    *count = n;
    return KERN_SUCCESS;
}

void setPorts(Table &table, exception_mask_t mask, uint32_t port, exception_behavior_t behavior,
              thread_state_flavor_t flavor) {
    for (exception_type_t type = FIRST_EXCEPTION; type < static_cast<exception_type_t>(EXC_TYPES_COUNT); ++type) {
        if ((mask & (1u << type)) == 0) continue;
        Slot &slot = table.slots[type];
        const uint32_t old = slot.port;
        if (port != kNone) retainSend(port);
        slot = {port, behavior, flavor};
        if (old != kNone) releaseSend(old);
    }
}

// The types some live table covers.
exception_mask_t coveredTypes() {
    exception_mask_t covered = 0;
    auto add = [&covered](const Table &table) {
        for (exception_type_t type = FIRST_EXCEPTION; type < static_cast<exception_type_t>(EXC_TYPES_COUNT); ++type) {
            if (table.slots[type].port != kNone) covered |= 1u << type;
        }
    };
    add(gTaskTable);
    for (const Table &table : gThreadTables) {
        if (table.owner != 0) add(table);
    }
    return covered;
}

bool validTarget(bool threadLevel, mach_port_t target) {
    return threadLevel ? threadExists(target) : target == mach_task_self();
}

kern_return_t swapOrSet(bool threadLevel, mach_port_t target, exception_mask_t mask, mach_port_t newPort,
                        exception_behavior_t behavior, thread_state_flavor_t flavor, exception_mask_array_t masks,
                        mach_msg_type_number_t *count, exception_handler_array_t handlers,
                        exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    if (!validTarget(threadLevel, target)) return threadLevel ? KERN_INVALID_ARGUMENT : KERN_INVALID_TASK;
    if ((mask & ~EXC_MASK_VALID) != 0 || !validBehavior(behavior, flavor)) return KERN_INVALID_ARGUMENT;
    const bool swap = count != nullptr;
    if (swap && (masks == nullptr || handlers == nullptr || behaviors == nullptr || flavors == nullptr)) {
        return KERN_INVALID_ARGUMENT;
    }
    std::lock_guard<std::mutex> setUp(gSetUpMutex);
    if (!lockSpace()) return KERN_OPERATION_TIMED_OUT;
    prepareTables();
    uint32_t port = kNone;
    if (!portOfSendName(newPort, &port)) {
        unlockSpace();
        return KERN_INVALID_CAPABILITY;
    }
    Table *table = threadLevel ? threadTable(target, true) : &gTaskTable;
    if (table == nullptr) {
        unlockSpace();
        return KERN_RESOURCE_SHORTAGE;
    }
    if (swap) getPorts(table, mask, masks, count, handlers, behaviors, flavors);
    setPorts(*table, mask, port, behavior, flavor);
    const exception_mask_t covered = coveredTypes();
    unlockSpace();
    updateExceptionDelivery(covered);
    return KERN_SUCCESS;
}

kern_return_t get(bool threadLevel, mach_port_t target, exception_mask_t mask, exception_mask_array_t masks,
                  mach_msg_type_number_t *count, exception_handler_array_t handlers,
                  exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    if (!validTarget(threadLevel, target)) return threadLevel ? KERN_INVALID_ARGUMENT : KERN_INVALID_TASK;
    if ((mask & ~EXC_MASK_VALID) != 0 || count == nullptr || masks == nullptr || handlers == nullptr ||
        behaviors == nullptr || flavors == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    if (!lockSpace()) return KERN_OPERATION_TIMED_OUT;
    prepareTables();
    const Table *table = threadLevel ? threadTable(target, false) : &gTaskTable;
    const kern_return_t kr = getPorts(table, mask, masks, count, handlers, behaviors, flavors);
    unlockSpace();
    return kr;
}

}  // namespace

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_array_t masks,
                                       mach_msg_type_number_t *count, exception_handler_array_t handlers,
                                       exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    return get(false, task, mask, masks, count, handlers, behaviors, flavors);
}

kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t newPort,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor) {
    return swapOrSet(false, task, mask, newPort, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t newPort,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_array_t masks, mach_msg_type_number_t *count,
                                        exception_handler_array_t handlers, exception_behavior_array_t behaviors,
                                        exception_flavor_array_t flavors) {
    if (count == nullptr) return KERN_INVALID_ARGUMENT;
    return swapOrSet(false, task, mask, newPort, behavior, flavor, masks, count, handlers, behaviors, flavors);
}

kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_array_t masks,
                                         mach_msg_type_number_t *count, exception_handler_array_t handlers,
                                         exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    return get(true, thread, mask, masks, count, handlers, behaviors, flavors);
}

kern_return_t thread_set_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t newPort,
                                         exception_behavior_t behavior, thread_state_flavor_t flavor) {
    return swapOrSet(true, thread, mask, newPort, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t newPort,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_array_t masks, mach_msg_type_number_t *count,
                                          exception_handler_array_t handlers, exception_behavior_array_t behaviors,
                                          exception_flavor_array_t flavors) {
    if (count == nullptr) return KERN_INVALID_ARGUMENT;
    return swapOrSet(true, thread, mask, newPort, behavior, flavor, masks, count, handlers, behaviors, flavors);
}

namespace detail {

bool exceptionHandlerFor(bool threadLevel, thread_t thread, exception_type_t type, mach_port_t *port,
                         exception_behavior_t *behavior, thread_state_flavor_t *flavor) {
    if (type < FIRST_EXCEPTION || type >= static_cast<exception_type_t>(EXC_TYPES_COUNT)) return false;
    if (!lockSpace()) return false;
    bool found = false;
    if (gTablesReady) {
        const Table *table = threadLevel ? threadTable(thread, false) : &gTaskTable;
        const Slot slot = table ? table->slots[type] : Slot{kNone, 0, 0};
        if (slot.port != kNone && gPorts[slot.port].alive) {
            const Port &p = gPorts[slot.port];
            const uint32_t receiver = p.set != kNone ? gEntries[p.set].receiver : p.receiver;
            if (receiver != thread) {
                *port = copyoutSend(slot.port);
                *behavior = slot.behavior;
                *flavor = slot.flavor;
                found = true;
            }
        }
    }
    unlockSpace();
    return found;
}

}  // namespace detail
}  // namespace platform::mach
