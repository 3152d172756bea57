#include "platform/mach/memory_object.h"

#include "platform/mach/vm_allocate.h"
#include "platform/mach/vm_page.h"
#include "platform/mach/vm_read.h"

namespace platform::mach {

kern_return_t mach_make_memory_entry_64(task_t task, mach_vm_size_t *size, mach_vm_address_t offset,
                                        vm_prot_t protection, memory_object_entry_t *entry, mach_port_t /*parent*/) {
    if (task != mach_task_self() || size == nullptr || entry == nullptr || *size == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    if (protection & ~VM_PROT_READ) {
        return KERN_PROTECTION_FAILURE;
    }
    const mach_vm_size_t mask = vm_page_mask();
    mach_vm_address_t start = offset & ~mask;
    mach_vm_size_t wanted = *size + (offset - start);
    if (wanted < *size || start + wanted < start) {
        return KERN_INVALID_ARGUMENT;
    }
    mach_vm_size_t readable = vm_readable_length(task, start, wanted);
    if (readable <= offset - start) {
        return KERN_INVALID_ADDRESS;
    }
    // Whole pages, as a kernel entry would cover.
    mach_vm_size_t pages = (readable + mask) & ~mask;
    if (pages < readable) {
        pages = readable;
    }
    *entry = {task, start, pages};
    *size = pages - (offset - start);
    return KERN_SUCCESS;
}

kern_return_t mach_vm_map(task_t target, mach_vm_address_t *address, mach_vm_size_t size, mach_vm_size_t /*mask*/,
                          int flags, const memory_object_entry_t &entry, mach_vm_size_t offset, bool copy,
                          vm_prot_t currentProtection, vm_prot_t /*maximumProtection*/, vm_inherit_t /*inheritance*/) {
    if (target != mach_task_self() || address == nullptr || !copy || size == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    if (offset > entry.size || size > entry.size - offset) {
        return KERN_INVALID_ARGUMENT;
    }
    if (currentProtection & ~(VM_PROT_READ | VM_PROT_WRITE)) {
        return KERN_PROTECTION_FAILURE;
    }
    mach_vm_address_t local = *address;
    if (flags & VM_FLAGS_ANYWHERE) {
        kern_return_t kr = mach_vm_allocate(target, &local, size, VM_FLAGS_ANYWHERE);
        if (kr != KERN_SUCCESS) {
            return kr;
        }
    } else if (!(flags & VM_FLAGS_OVERWRITE) || (local & vm_page_mask())) {
        return KERN_INVALID_ARGUMENT;
    } else {
        // Make the destination writable for the copy (it may be a reused,
        // read-only mapping).
        kern_return_t kr = mach_vm_protect(target, local, size, VM_PROT_READ | VM_PROT_WRITE);
        if (kr != KERN_SUCCESS) {
            return kr;
        }
    }
    mach_vm_size_t copied = 0;
    kern_return_t kr = mach_vm_read_overwrite(entry.task, entry.address + offset, size, local, &copied);
    if (kr == KERN_SUCCESS) {
        kr = mach_vm_protect(target, local, size, currentProtection);
    }
    if (kr != KERN_SUCCESS) {
        if (flags & VM_FLAGS_ANYWHERE) {
            mach_vm_deallocate(target, local, size);
        }
        return kr;
    }
    *address = local;
    return KERN_SUCCESS;
}

kern_return_t mach_memory_entry_release(memory_object_entry_t *entry) {
    if (entry != nullptr) {
        *entry = {};
    }
    return KERN_SUCCESS;
}

}  // namespace platform::mach
