#pragma once
// The threads of this task. A thread port is the thread's kernel id (tid).
#include "platform/mach/mach_types.h"

namespace platform::mach {

// Lists every thread of the task, the caller included, into `threads`, which
// holds `capacity` entries; `*count` receives the number stored. Reads
// /proc/self/task with raw system calls and allocates nothing, so it may run
// on the crash path.
// KERN_SUCCESS: the whole list. KERN_RESOURCE_SHORTAGE: there were more
// threads than `capacity`; the first `capacity` are stored and usable.
// KERN_INVALID_ARGUMENT: not this task, or a null pointer. KERN_FAILURE: the
// list could not be read (no /proc).
kern_return_t task_threads(task_t task, thread_t *threads, mach_msg_type_number_t capacity,
                           mach_msg_type_number_t *count);

// The calling thread's port: its tid. Nothing to release.
thread_t mach_thread_self();

}  // namespace platform::mach
