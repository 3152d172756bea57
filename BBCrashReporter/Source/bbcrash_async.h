#pragma once
// Async-signal-safe building blocks: byte orders, checked reads of task
// memory, string and memory helpers that call no library function, and
// UTF-8 validation. Nothing here allocates or locks.
#include "bbcrash_error.h"
#include "platform/mach/mach_types.h"

#include <cstddef>
#include <cstdint>

// A byte order: three swap functions. Images in the host's order use the
// native instance (each returns its argument), others the swapped one.
struct bbcrash_async_byteorder {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};

const bbcrash_async_byteorder *bbcrash_async_byteorder_native();
const bbcrash_async_byteorder *bbcrash_async_byteorder_swapped();

// A field read from local, possibly unaligned memory through a byte order.
// (A fixed-size __builtin_memcpy is a plain load, never a call.)
inline uint16_t bbcrash_async_load16(const bbcrash_async_byteorder *byteorder, const void *p) {
    uint16_t v;
    __builtin_memcpy(&v, p, sizeof(v));
    return byteorder->swap16(v);
}

inline uint32_t bbcrash_async_load32(const bbcrash_async_byteorder *byteorder, const void *p) {
    uint32_t v;
    __builtin_memcpy(&v, p, sizeof(v));
    return byteorder->swap32(v);
}

inline uint64_t bbcrash_async_load64(const bbcrash_async_byteorder *byteorder, const void *p) {
    uint64_t v;
    __builtin_memcpy(&v, p, sizeof(v));
    return byteorder->swap64(v);
}

// Stores base + offset in *result unless the sum would wrap below 0 or past
// the largest address (then false).
bool bbcrash_async_apply_offset(platform::mach::mach_vm_address_t base, int64_t offset,
                                platform::mach::mach_vm_address_t *result);

// Reads `length` bytes at address + offset of the task into `dest`.
// 0; 3 when the offset cannot be applied; 8 at an unmapped address; 7 at a
// protected one; 1 otherwise (including a range that wraps).
bbcrash_error_t bbcrash_async_task_read(platform::mach::task_t task, platform::mach::mach_vm_address_t address,
                                        int64_t offset, void *dest, platform::mach::mach_vm_size_t length);

bbcrash_error_t bbcrash_async_task_read_uint32(platform::mach::task_t task, const bbcrash_async_byteorder *byteorder,
                                               platform::mach::mach_vm_address_t address, int64_t offset,
                                               uint32_t *result);
bbcrash_error_t bbcrash_async_task_read_uint64(platform::mach::task_t task, const bbcrash_async_byteorder *byteorder,
                                               platform::mach::mach_vm_address_t address, int64_t offset,
                                               uint64_t *result);

int bbcrash_async_strncmp(const char *s1, const char *s2, size_t n);
void *bbcrash_async_memcpy(void *dest, const void *source, size_t n);
void *bbcrash_async_memset(void *dest, uint8_t value, size_t n);

// The calling thread's port (its kernel thread id here); no reference is
// left behind.
platform::mach::thread_t bbcrash_thread_self();

// Length of the longest well-formed UTF-8 prefix: a leading byte-order mark
// is skipped (and counted) when length >= 3; a NUL, a stray byte or a
// sequence cut short ends it.
size_t bbcrash_valid_utf8_length(const uint8_t *bytes, size_t length);
