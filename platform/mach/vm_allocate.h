#pragma once
// Allocation and release of whole pages in the local task, straight from the
// kernel (no heap), so that crash-time code may use them.
#include "platform/mach/mach_types.h"

namespace platform::mach {

// Allocates `size` bytes (rounded up to pages), zero-filled and writable.
// With VM_FLAGS_ANYWHERE the kernel chooses *address; otherwise *address is
// used as given (VM_FLAGS_OVERWRITE replaces what is there).
kern_return_t mach_vm_allocate(task_t task, mach_vm_address_t *address, mach_vm_size_t size, int flags);
kern_return_t mach_vm_deallocate(task_t task, mach_vm_address_t address, mach_vm_size_t size);

// Changes the protection of whole pages.
kern_return_t mach_vm_protect(task_t task, mach_vm_address_t address, mach_vm_size_t size, vm_prot_t protection);

// The narrow forms with local address types.
kern_return_t vm_allocate(task_t task, vm_address_t *address, vm_size_t size, int flags);
kern_return_t vm_deallocate(task_t task, vm_address_t address, vm_size_t size);

}  // namespace platform::mach
