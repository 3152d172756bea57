#include "platform/mach/vm_read.h"

#include "platform/mach/vm_page.h"

#include <cerrno>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::mach {

namespace {

// Raw system calls, so that nothing here can take a libc lock.
long readSelf(void *local, const void *remote, size_t length) {
    iovec localVec{local, length};
    iovec remoteVec{const_cast<void *>(remote), length};
    return syscall(SYS_process_vm_readv, static_cast<pid_t>(syscall(SYS_getpid)), &localVec, 1UL,
                   &remoteVec, 1UL, 0UL);
}

// Why the byte at `address` could not be read: mincore fails with ENOMEM on
// an address that no mapping covers, and succeeds on a mapped page whatever
// its protection.
kern_return_t classifyFault(mach_vm_address_t address) {
    uintptr_t page = static_cast<uintptr_t>(address) & ~static_cast<uintptr_t>(vm_page_mask());
    unsigned char vec = 0;
    long rc = syscall(SYS_mincore, reinterpret_cast<void *>(page), vm_page_size(), &vec);
    if (rc != 0 && errno == ENOMEM) {
        return KERN_INVALID_ADDRESS;
    }
    return KERN_PROTECTION_FAILURE;
}

}  // namespace

kern_return_t mach_vm_read_overwrite(task_t task, mach_vm_address_t address, mach_vm_size_t size,
                                     mach_vm_address_t data, mach_vm_size_t *outsize) {
    if (outsize != nullptr) {
        *outsize = 0;
    }
    if (task != mach_task_self()) {
        return KERN_INVALID_ARGUMENT;
    }
    if (size == 0) {
        return KERN_SUCCESS;
    }
    if (address + size < address) {
        return KERN_INVALID_ARGUMENT;
    }
    int savedErrno = errno;
    mach_vm_size_t done = 0;
    kern_return_t result = KERN_SUCCESS;
    while (done < size) {
        long n = readSelf(reinterpret_cast<void *>(static_cast<uintptr_t>(data + done)),
                          reinterpret_cast<const void *>(static_cast<uintptr_t>(address + done)),
                          static_cast<size_t>(size - done));
        if (n > 0) {
            done += static_cast<mach_vm_size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EFAULT) {
            result = classifyFault(address + done);
        } else if (n < 0 && (errno == EPERM || errno == ENOSYS)) {
            result = KERN_FAILURE;
        } else {
            result = KERN_INVALID_ADDRESS;
        }
        break;
    }
    errno = savedErrno;
    if (outsize != nullptr) {
        *outsize = done;
    }
    return result;
}

mach_vm_size_t vm_readable_length(task_t task, mach_vm_address_t address, mach_vm_size_t size) {
    if (task != mach_task_self() || size == 0 || address + size < address) {
        return 0;
    }
    int savedErrno = errno;
    const mach_vm_size_t pageMask = vm_page_mask();
    mach_vm_size_t covered = 0;
    // One byte from each page, up to 64 pages per call; the kernel stops at
    // the first page that faults and reports how many bytes it copied.
    constexpr size_t kBatch = 64;
    unsigned char sink[kBatch];
    iovec local[kBatch];
    iovec remote[kBatch];
    pid_t pid = static_cast<pid_t>(syscall(SYS_getpid));
    while (covered < size) {
        size_t count = 0;
        mach_vm_address_t probe = address + covered;
        while (count < kBatch && probe < address + size && probe >= address) {
            local[count] = {&sink[count], 1};
            remote[count] = {reinterpret_cast<void *>(static_cast<uintptr_t>(probe)), 1};
            ++count;
            mach_vm_address_t next = (probe | pageMask) + 1;
            if (next == 0) {
                break;
            }
            probe = next;
        }
        long n = syscall(SYS_process_vm_readv, pid, local, count, remote, count, 0UL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        size_t readable = n > 0 ? static_cast<size_t>(n) : 0;
        for (size_t i = 0; i < readable && covered < size; ++i) {
            mach_vm_address_t at = address + covered;
            mach_vm_size_t toPageEnd = ((at | pageMask) + 1) - at;
            covered += toPageEnd < size - covered ? toPageEnd : size - covered;
        }
        if (readable < count) {
            break;
        }
    }
    errno = savedErrno;
    return covered;
}

}  // namespace platform::mach
