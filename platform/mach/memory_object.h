#pragma once
// Memory entries and mappings of task memory into the local task.
//
// On Mach an entry is a port naming a range of another task's memory, and
// mapping it shares the pages copy-on-write. Here the task is always this
// process, so an entry names the readable run of a range, and mapping it
// copies those bytes into local pages (checked reads, never a fault) and
// leaves the pages read-only. A range that stops being readable before it is
// mapped fails the mapping rather than faulting later.
#include "platform/mach/mach_types.h"

namespace platform::mach {

// A named range of task memory. Plain value: nothing to leak if dropped, but
// release it with mach_memory_entry_release all the same.
struct memory_object_entry_t {
    task_t task = MACH_PORT_NULL;
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
};

// Names the readable run that starts at `offset` (a task address) and spans
// at most *size bytes; *size becomes the length of that run, rounded to
// whole pages. KERN_INVALID_ADDRESS when the first page cannot be read,
// KERN_PROTECTION_FAILURE when `protection` asks for more than reading.
kern_return_t mach_make_memory_entry_64(task_t task, mach_vm_size_t *size, mach_vm_address_t offset,
                                        vm_prot_t protection, memory_object_entry_t *entry, mach_port_t parent);

// Maps `size` bytes of the entry, starting `offset` bytes into it, at
// *address of the local task (VM_FLAGS_FIXED | VM_FLAGS_OVERWRITE: the pages
// must have been allocated by mach_vm_allocate; VM_FLAGS_ANYWHERE: new pages).
// The mapping is a copy taken now; `copy` must be true.
kern_return_t mach_vm_map(task_t target, mach_vm_address_t *address, mach_vm_size_t size, mach_vm_size_t mask,
                          int flags, const memory_object_entry_t &entry, mach_vm_size_t offset, bool copy,
                          vm_prot_t currentProtection, vm_prot_t maximumProtection, vm_inherit_t inheritance);

// Releases an entry (nothing is held on Linux).
kern_return_t mach_memory_entry_release(memory_object_entry_t *entry);

}  // namespace platform::mach
