#include "platform/mach/vm_read.h"

#include "platform/mach/vm_hold.h"
#include "platform/mach/vm_page.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <cerrno>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::mach {

namespace {

// This process's id, asked of the kernel once rather than before every read.
// A child made by fork learns its own at once (the handler below), and a read
// that finds no process of the remembered id asks again. (A child made by a
// raw clone, which runs no fork handler, must not read before it execs.)
std::atomic<pid_t> g_pid{0};

void forgetPid() { g_pid.store(0, std::memory_order_relaxed); }

pid_t selfPid() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<pid_t>(syscall(SYS_getpid));
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

[[maybe_unused]] const int g_forkHandler = pthread_atfork(nullptr, nullptr, forgetPid);

// process_vm_readv, with one retry under a fresh id when the cached one names
// no process.
long readv(const iovec *local, unsigned long localCount, const iovec *remote, unsigned long remoteCount) {
    long n = syscall(SYS_process_vm_readv, selfPid(), local, localCount, remote, remoteCount, 0UL);
    if (n < 0 && errno == ESRCH) {
        forgetPid();
        n = syscall(SYS_process_vm_readv, selfPid(), local, localCount, remote, remoteCount, 0UL);
    }
    return n;
}

// A plain copy of bytes the hold proved readable. A checked read may read
// any readable memory of the task (freed heap, padding between globals), so
// the sanitizers must not judge it as an access of the program's objects.
__attribute__((no_sanitize("address", "undefined"))) void copyProven(uint8_t *dest, const uint8_t *source,
                                                                     size_t size) {
    volatile uint8_t *out = dest;  // never turned into a (checked) memcpy call
    for (size_t i = 0; i < size; ++i) {
        out[i] = source[i];
    }
}

// Raw system calls, so that nothing here can take a libc lock.
long readSelf(void *local, const void *remote, size_t length) {
    iovec localVec{local, length};
    iovec remoteVec{const_cast<void *>(remote), length};
    return readv(&localVec, 1UL, &remoteVec, 1UL);
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
    // Pages that the caller's hold on the task proved readable are copied
    // without asking the kernel again.
    if (task_memory_known_readable(address, size)) {
        copyProven(reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(data)),
                   reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(address)), static_cast<size_t>(size));
        if (outsize != nullptr) {
            *outsize = size;
        }
        return KERN_SUCCESS;
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
    task_memory_note_readable(address, done);
    return result;
}

mach_vm_size_t vm_readable_length(task_t task, mach_vm_address_t address, mach_vm_size_t size) {
    if (task != mach_task_self() || size == 0 || address + size < address) {
        return 0;
    }
    if (task_memory_known_readable(address, size)) {
        return size;
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
        long n = readv(local, count, remote, count);
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
    task_memory_note_readable(address, covered);
    return covered;
}

}  // namespace platform::mach
