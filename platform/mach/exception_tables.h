#pragma once
// Inside the exception port tables: what delivery needs of them. Not an
// interface for anyone else.
#include "platform/mach/exception_types.h"
#include "platform/mach/mach_port.h"

namespace platform::mach::detail {

// The handler registered for a type at one level (the faulting thread's own
// table, then the task's): a new send right to it (release it with
// mach_port_deallocate), its behaviour and flavour. False when the level has
// no live port for the type, when the space lock cannot be taken, or when
// the calling thread is itself the one that receives on that port (it
// could never answer). Async-signal-safe.
bool exceptionHandlerFor(bool threadLevel, thread_t thread, exception_type_t type, mach_port_t *port,
                         exception_behavior_t *behavior, thread_state_flavor_t *flavor);

}  // namespace platform::mach::detail
