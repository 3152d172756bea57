#pragma once
// Exception ports of the task and of each thread.
//
// Each table has one slot per exception type: a send right (or null), a
// behaviour and a thread state flavour; the table holds its own send right.
// "get" reports the slots of the types in a mask, coalescing types with the
// same port, behaviour and flavour into one entry, and hands out a new send
// right per entry; "swap" does that for the old slots, then sets the new.
//
// While any port covers bad access, bad instruction, arithmetic or
// breakpoint, the layer owns the host's handlers of the matching signals and
// delivers those faults as exception messages (exception_delivery.h).
#include "platform/mach/exception_types.h"
#include "platform/mach/mach_port.h"

namespace platform::mach {

// How many threads can have exception ports of their own.
constexpr unsigned kMaxThreadExceptionTables = 256;

// `*count` holds the capacity of the arrays on entry (EXC_TYPES_COUNT always
// suffices) and the number of entries on return.
kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_array_t masks,
                                       mach_msg_type_number_t *count, exception_handler_array_t handlers,
                                       exception_behavior_array_t behaviors, exception_flavor_array_t flavors);
kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t newPort,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor);
kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t newPort,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_array_t masks, mach_msg_type_number_t *count,
                                        exception_handler_array_t handlers, exception_behavior_array_t behaviors,
                                        exception_flavor_array_t flavors);

kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_array_t masks,
                                         mach_msg_type_number_t *count, exception_handler_array_t handlers,
                                         exception_behavior_array_t behaviors, exception_flavor_array_t flavors);
kern_return_t thread_set_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t newPort,
                                         exception_behavior_t behavior, thread_state_flavor_t flavor);
kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t newPort,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_array_t masks, mach_msg_type_number_t *count,
                                          exception_handler_array_t handlers, exception_behavior_array_t behaviors,
                                          exception_flavor_array_t flavors);

}  // namespace platform::mach
