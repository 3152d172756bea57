#include "platform/mach/vm_allocate.h"

#include "platform/mach/vm_hold.h"
#include "platform/mach/vm_page.h"

#include <cerrno>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {

namespace {

bool roundToPages(mach_vm_size_t size, mach_vm_size_t *rounded) {
    const mach_vm_size_t mask = vm_page_mask();
    if (size + mask < size) {
        return false;
    }
    *rounded = (size + mask) & ~mask;
    return true;
}

int toHostProtection(vm_prot_t protection) {
    int host = PROT_NONE;
    if (protection & VM_PROT_READ) host |= PROT_READ;
    if (protection & VM_PROT_WRITE) host |= PROT_WRITE;
    if (protection & VM_PROT_EXECUTE) host |= PROT_EXEC;
    return host;
}

}  // namespace

kern_return_t mach_vm_allocate(task_t task, mach_vm_address_t *address, mach_vm_size_t size, int flags) {
    if (task != mach_task_self() || address == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    mach_vm_size_t rounded = 0;
    if (size == 0 || !roundToPages(size, &rounded)) {
        return KERN_INVALID_ARGUMENT;
    }
    int mmapFlags = MAP_PRIVATE | MAP_ANONYMOUS;
    void *hint = nullptr;
    if (!(flags & VM_FLAGS_ANYWHERE)) {
        if (*address & vm_page_mask()) {
            return KERN_INVALID_ARGUMENT;
        }
        hint = reinterpret_cast<void *>(static_cast<uintptr_t>(*address));
        mmapFlags |= (flags & VM_FLAGS_OVERWRITE) ? MAP_FIXED : MAP_FIXED_NOREPLACE;
    }
    int savedErrno = errno;
    void *result = reinterpret_cast<void *>(
        syscall(SYS_mmap, hint, static_cast<size_t>(rounded), PROT_READ | PROT_WRITE, mmapFlags, -1, 0L));
    bool failed = result == MAP_FAILED;
    errno = savedErrno;
    if (failed) {
        return KERN_NO_SPACE;
    }
    if (!(flags & VM_FLAGS_ANYWHERE) && result != hint) {
        // An older kernel ignored MAP_FIXED_NOREPLACE and placed it elsewhere.
        syscall(SYS_munmap, result, static_cast<size_t>(rounded));
        errno = savedErrno;
        return KERN_NO_SPACE;
    }
    *address = reinterpret_cast<uintptr_t>(result);
    return KERN_SUCCESS;
}

kern_return_t mach_vm_deallocate(task_t task, mach_vm_address_t address, mach_vm_size_t size) {
    if (task != mach_task_self()) {
        return KERN_INVALID_ARGUMENT;
    }
    if (size == 0) {
        return KERN_SUCCESS;
    }
    mach_vm_size_t rounded = 0;
    if ((address & vm_page_mask()) || !roundToPages(size, &rounded) || address + rounded < address) {
        return KERN_INVALID_ARGUMENT;
    }
    task_memory_forget(address, rounded);
    int savedErrno = errno;
    long rc =
        syscall(SYS_munmap, reinterpret_cast<void *>(static_cast<uintptr_t>(address)), static_cast<size_t>(rounded));
    errno = savedErrno;
    return rc == 0 ? KERN_SUCCESS : KERN_INVALID_ARGUMENT;
}

kern_return_t mach_vm_protect(task_t task, mach_vm_address_t address, mach_vm_size_t size, vm_prot_t protection) {
    if (task != mach_task_self()) {
        return KERN_INVALID_ARGUMENT;
    }
    mach_vm_size_t rounded = 0;
    if ((address & vm_page_mask()) || !roundToPages(size, &rounded) || address + rounded < address) {
        return KERN_INVALID_ARGUMENT;
    }
    task_memory_forget(address, rounded);
    int savedErrno = errno;
    long rc = syscall(SYS_mprotect, reinterpret_cast<void *>(static_cast<uintptr_t>(address)),
                      static_cast<size_t>(rounded), toHostProtection(protection));
    errno = savedErrno;
    return rc == 0 ? KERN_SUCCESS : KERN_PROTECTION_FAILURE;
}

kern_return_t vm_allocate(task_t task, vm_address_t *address, vm_size_t size, int flags) {
    if (address == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    mach_vm_address_t wide = *address;
    kern_return_t kr = mach_vm_allocate(task, &wide, size, flags);
    if (kr == KERN_SUCCESS) {
        *address = static_cast<vm_address_t>(wide);
    }
    return kr;
}

kern_return_t vm_deallocate(task_t task, vm_address_t address, vm_size_t size) {
    return mach_vm_deallocate(task, address, size);
}

}  // namespace platform::mach
