#pragma once
// Memory objects: read-only local mappings of task memory, with every access
// checked against the mapped range first. Async-signal-safe: the mapping
// comes from the virtual-memory system, never from the heap. While the
// caller holds this task still (platform/mach/vm_hold.h), an object over its
// memory aliases the readable range itself rather than copying it.
#include "bbcrash_async.h"

struct bbcrash_async_mobject {
    platform::mach::task_t task;
    uintptr_t address;                               // local pointer of the first requested byte
    platform::mach::mach_vm_address_t task_address;  // task address of that byte
    platform::mach::mach_vm_size_t length;           // usable bytes from `address`
    int64_t vm_slide;                                // task address - local address
    uintptr_t vm_address;                            // the page-aligned local mapping, for release
    platform::mach::mach_vm_size_t vm_length;
};

// Maps `length` bytes at `task_address`. When the whole range is not
// required, the mapping stops at the first page that cannot be read and
// `length` ends there. 0; 3 when nothing can be mapped; 5 when the range
// wraps past the end of the address space; 6 when no local pages are left.
bbcrash_error_t bbcrash_async_mobject_init(bbcrash_async_mobject *mobj, platform::mach::task_t task,
                                           platform::mach::mach_vm_address_t task_address,
                                           platform::mach::mach_vm_size_t length, bool require_full);
void bbcrash_async_mobject_free(bbcrash_async_mobject *mobj);

// Local pointer for `length` bytes at task address + offset, or null when
// any of them lies outside the object.
void *bbcrash_async_mobject_remap(bbcrash_async_mobject *mobj, platform::mach::mach_vm_address_t task_address,
                                  int64_t offset, platform::mach::mach_vm_size_t length);
bool bbcrash_async_mobject_verify_local_pointer(bbcrash_async_mobject *mobj, uintptr_t address, int64_t offset,
                                                platform::mach::mach_vm_size_t length);

platform::mach::mach_vm_address_t bbcrash_async_mobject_base_address(bbcrash_async_mobject *mobj);
platform::mach::mach_vm_size_t bbcrash_async_mobject_length(bbcrash_async_mobject *mobj);
platform::mach::task_t bbcrash_async_mobject_task(bbcrash_async_mobject *mobj);

// Values at task address + offset, through the byte order; 5 when outside.
bbcrash_error_t bbcrash_async_mobject_read_uint8(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                 platform::mach::mach_vm_address_t address, int64_t offset,
                                                 uint8_t *result);
bbcrash_error_t bbcrash_async_mobject_read_uint16(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                  platform::mach::mach_vm_address_t address, int64_t offset,
                                                  uint16_t *result);
bbcrash_error_t bbcrash_async_mobject_read_uint32(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                  platform::mach::mach_vm_address_t address, int64_t offset,
                                                  uint32_t *result);
bbcrash_error_t bbcrash_async_mobject_read_uint64(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                  platform::mach::mach_vm_address_t address, int64_t offset,
                                                  uint64_t *result);

// LEB128 values of at most 10 bytes: a continuation bit on the 10th byte is
// 4, a byte outside the object 5; bits past 64 are dropped. *size gets the
// number of bytes consumed.
bbcrash_error_t bbcrash_async_mobject_read_uleb128(bbcrash_async_mobject *mobj,
                                                   platform::mach::mach_vm_address_t address, int64_t offset,
                                                   uint64_t *result, size_t *size);
bbcrash_error_t bbcrash_async_mobject_read_sleb128(bbcrash_async_mobject *mobj,
                                                   platform::mach::mach_vm_address_t address, int64_t offset,
                                                   int64_t *result, size_t *size);
// The same straight from the task: maps one page (not required whole) at
// address + offset, reads and releases it; 5 when the offset wraps.
bbcrash_error_t bbcrash_async_task_read_uleb128(platform::mach::task_t task, platform::mach::mach_vm_address_t address,
                                                int64_t offset, uint64_t *result, size_t *size);
