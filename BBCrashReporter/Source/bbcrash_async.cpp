#include "bbcrash_async.h"

#include "platform/mach/vm_read.h"

#include <sys/syscall.h>
#include <unistd.h>

using namespace platform::mach;

namespace {

uint16_t identity16(uint16_t v) { return v; }
uint32_t identity32(uint32_t v) { return v; }
uint64_t identity64(uint64_t v) { return v; }
uint16_t reverse16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t reverse32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t reverse64(uint64_t v) { return __builtin_bswap64(v); }

constexpr bbcrash_async_byteorder kNative{identity16, identity32, identity64};
constexpr bbcrash_async_byteorder kSwapped{reverse16, reverse32, reverse64};

}  // namespace

const bbcrash_async_byteorder *bbcrash_async_byteorder_native() { return &kNative; }
const bbcrash_async_byteorder *bbcrash_async_byteorder_swapped() { return &kSwapped; }

bool bbcrash_async_apply_offset(mach_vm_address_t base, int64_t offset, mach_vm_address_t *result) {
    if (offset < 0) {
        // Magnitude of a negative offset, without overflowing INT64_MIN.
        uint64_t magnitude = static_cast<uint64_t>(-(offset + 1)) + 1;
        if (magnitude > base) {
            return false;
        }
        *result = base - magnitude;
        return true;
    }
    uint64_t add = static_cast<uint64_t>(offset);
    if (base + add < base) {
        return false;
    }
    *result = base + add;
    return true;
}

bbcrash_error_t bbcrash_async_task_read(task_t task, mach_vm_address_t address, int64_t offset, void *dest,
                                        mach_vm_size_t length) {
    mach_vm_address_t target = 0;
    if (!bbcrash_async_apply_offset(address, offset, &target)) {
        return BBCRASH_ENOMEM;
    }
    mach_vm_size_t read = 0;
    kern_return_t kr = mach_vm_read_overwrite(task, target, length, reinterpret_cast<uintptr_t>(dest), &read);
    switch (kr) {
    case KERN_SUCCESS: return BBCRASH_ESUCCESS;
    case KERN_INVALID_ADDRESS: return BBCRASH_ENOTFOUND;
    case KERN_PROTECTION_FAILURE: return BBCRASH_EACCESS;
    default: return BBCRASH_EUNKNOWN;
    }
}

bbcrash_error_t bbcrash_async_task_read_uint32(task_t task, const bbcrash_async_byteorder *byteorder,
                                               mach_vm_address_t address, int64_t offset, uint32_t *result) {
    uint32_t raw = 0;
    bbcrash_error_t err = bbcrash_async_task_read(task, address, offset, &raw, sizeof(raw));
    if (err == BBCRASH_ESUCCESS) {
        *result = byteorder->swap32(raw);
    }
    return err;
}

bbcrash_error_t bbcrash_async_task_read_uint64(task_t task, const bbcrash_async_byteorder *byteorder,
                                               mach_vm_address_t address, int64_t offset, uint64_t *result) {
    uint64_t raw = 0;
    bbcrash_error_t err = bbcrash_async_task_read(task, address, offset, &raw, sizeof(raw));
    if (err == BBCRASH_ESUCCESS) {
        *result = byteorder->swap64(raw);
    }
    return err;
}

int bbcrash_async_strncmp(const char *s1, const char *s2, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = static_cast<unsigned char>(s1[i]);
        unsigned char b = static_cast<unsigned char>(s2[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == '\0') {
            return 0;
        }
    }
    return 0;
}

// volatile stores keep the compiler from turning these loops back into
// library calls.
void *bbcrash_async_memcpy(void *dest, const void *source, size_t n) {
    volatile uint8_t *d = static_cast<uint8_t *>(dest);
    const uint8_t *s = static_cast<const uint8_t *>(source);
    for (size_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
    return dest;
}

void *bbcrash_async_memset(void *dest, uint8_t value, size_t n) {
    volatile uint8_t *d = static_cast<uint8_t *>(dest);
    for (size_t i = 0; i < n; ++i) {
        d[i] = value;
    }
    return dest;
}

thread_t bbcrash_thread_self() { return static_cast<thread_t>(syscall(SYS_gettid)); }

size_t bbcrash_valid_utf8_length(const uint8_t *bytes, size_t length) {
    size_t i = 0;
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        i = 3;
    }
    while (i < length) {
        uint8_t b = bytes[i];
        if (b == 0) {
            break;
        }
        size_t follow;
        if (b < 0x80) {
            follow = 0;
        } else if ((b & 0xE0) == 0xC0) {
            follow = 1;
        } else if ((b & 0xF0) == 0xE0) {
            follow = 2;
        } else if ((b & 0xF8) == 0xF0) {
            follow = 3;
        } else {
            break;
        }
        if (follow > length - i - 1) {
            break;
        }
        bool ok = true;
        for (size_t k = 1; k <= follow; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
        }
        if (!ok) {
            break;
        }
        i += follow + 1;
    }
    return i;
}
