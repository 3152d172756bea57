#pragma once
// Checked reads of task memory: a read that cannot fault, with the reason
// for a failure told apart the way the Mach kernel tells it. While the
// calling thread holds the task (vm_hold.h), pages these reads proved
// readable are read again with a plain copy.
#include "platform/mach/mach_types.h"

namespace platform::mach {

// Copies `size` bytes at `address` of `task` into the local buffer at `data`.
// KERN_SUCCESS with *outsize = size; KERN_INVALID_ADDRESS when a byte lies in
// no mapping; KERN_PROTECTION_FAILURE when it lies in a mapping that cannot be
// read; KERN_INVALID_ARGUMENT when the range wraps past the end of the address
// space or the task is not this one. Async-signal-safe.
kern_return_t mach_vm_read_overwrite(task_t task, mach_vm_address_t address, mach_vm_size_t size,
                                     mach_vm_address_t data, mach_vm_size_t *outsize);

// Length of the readable run at `address`, at most `size` bytes, checked page
// by page without copying more than one byte per page. Async-signal-safe.
mach_vm_size_t vm_readable_length(task_t task, mach_vm_address_t address, mach_vm_size_t size);

}  // namespace platform::mach
