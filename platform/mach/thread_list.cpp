#include "platform/mach/thread_list.h"

#include <cstddef>
#include <fcntl.h>

#include "platform/mach/thread_syscall.h"

namespace platform::mach {
namespace {

// The kernel's directory record as getdents64 returns it.
struct DirectoryEntry64 {
    uint64_t d_ino;
    int64_t d_off;
    uint16_t d_reclen;
    uint8_t d_type;
    char d_name[1];
};

// A thread id from a directory name; 0 for "." and anything not a number.
thread_t parseThreadId(const char *name) {
    uint64_t value = 0;
    if (*name == '\0') return 0;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xffffffffu) return 0;
    }
    return static_cast<thread_t>(value);
}

}  // namespace

kern_return_t task_threads(task_t task, thread_t *threads, mach_msg_type_number_t capacity,
                           mach_msg_type_number_t *count) {
    if (task != mach_task_self() || count == nullptr || (threads == nullptr && capacity > 0)) {
        return KERN_INVALID_ARGUMENT;
    }
    *count = 0;
    const long fd = detail::rawSyscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/proc/self/task"),
                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return KERN_FAILURE;

    kern_return_t result = KERN_SUCCESS;
    alignas(8) char buffer[1024];
    for (;;) {
        const long length = detail::rawSyscall(SYS_getdents64, fd, reinterpret_cast<long>(buffer), sizeof buffer);
        if (length == 0) break;
        if (length < 0) {
            result = KERN_FAILURE;
            break;
        }
        for (long offset = 0; offset < length;) {
            const auto *entry = reinterpret_cast<const DirectoryEntry64 *>(buffer + offset);
            if (entry->d_reclen == 0) break;
            offset += entry->d_reclen;
            const thread_t tid = parseThreadId(entry->d_name);
            if (tid == 0) continue;
            if (*count < capacity) {
                threads[(*count)++] = tid;
            } else {
                result = KERN_RESOURCE_SHORTAGE;
            }
        }
    }
    detail::rawSyscall(SYS_close, fd);
    return result;
}

thread_t mach_thread_self() { return static_cast<thread_t>(detail::rawGettid()); }

}  // namespace platform::mach
