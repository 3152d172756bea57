#include "bbcrash_async_mobject.h"

#include "platform/mach/memory_object.h"
#include "platform/mach/vm_allocate.h"
#include "platform/mach/vm_hold.h"
#include "platform/mach/vm_page.h"
#include "platform/mach/vm_read.h"

#if defined(__SANITIZE_ADDRESS__)
#define BBCRASH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BBCRASH_ASAN 1
#endif
#endif
#ifdef BBCRASH_ASAN
#include <sanitizer/asan_interface.h>
#endif

using namespace platform::mach;

namespace {

// Under AddressSanitizer, memory the program must not touch (freed heap,
// redzones) is copied through the checked reads rather than aliased, so that
// reading it as task memory is not taken for a fault of the program.
bool aliasable(mach_vm_address_t address, mach_vm_size_t length) {
#ifdef BBCRASH_ASAN
    return __asan_region_is_poisoned(reinterpret_cast<void *>(static_cast<uintptr_t>(address)),
                                     static_cast<size_t>(length)) == nullptr;
#else
    (void)address;
    (void)length;
    return true;
#endif
}

}  // namespace

bbcrash_error_t bbcrash_async_mobject_init(bbcrash_async_mobject *mobj, task_t task, mach_vm_address_t task_address,
                                           mach_vm_size_t length, bool require_full) {
    const mach_vm_size_t mask = vm_page_mask();
    mach_vm_address_t end = task_address + length;
    if (end < task_address || end + mask < end) {
        return BBCRASH_EINVAL;
    }
    const mach_vm_address_t start = task_address & ~mask;
    mach_vm_size_t total = ((end + mask) & ~mask) - start;

    // While the caller holds this task still, nothing can unmap the range
    // once its pages are proved readable: the object aliases the memory
    // itself, as a shared remapping would, instead of copying it.
    if (task == mach_task_self() && task_memory_held() && length != 0) {
        const mach_vm_size_t readable = vm_readable_length(task, task_address, length);
        if (readable == 0 || (require_full && readable < length)) {
            return BBCRASH_ENOMEM;
        }
        if (aliasable(task_address, readable)) {
            mobj->task = task;
            mobj->vm_address = 0;
            mobj->vm_length = 0;
            mobj->address = static_cast<uintptr_t>(task_address);
            mobj->task_address = task_address;
            mobj->length = readable;
            mobj->vm_slide = 0;
            return BBCRASH_ESUCCESS;
        }
    }

    if (!require_full) {
        if (total == 0) {
            return BBCRASH_ENOMEM;
        }
        // Cover as much of the range as can be read, entry by entry.
        mach_vm_size_t covered = 0;
        while (covered < total) {
            mach_vm_size_t size = total - covered;
            memory_object_entry_t entry{};
            if (mach_make_memory_entry_64(task, &size, start + covered, VM_PROT_READ, &entry, MACH_PORT_NULL) !=
                KERN_SUCCESS) {
                break;
            }
            mach_memory_entry_release(&entry);
            covered += size < total - covered ? size : total - covered;
        }
        if (covered == 0) {
            return BBCRASH_ENOMEM;
        }
        total = covered;
    }
    if (total == 0) {
        return BBCRASH_ENOMEM;
    }

    mach_vm_address_t base = 0;
    if (mach_vm_allocate(mach_task_self(), &base, total, VM_FLAGS_ANYWHERE) != KERN_SUCCESS) {
        return BBCRASH_EINTERNAL;
    }
    mach_vm_size_t done = 0;
    while (done < total) {
        mach_vm_size_t size = total - done;
        memory_object_entry_t entry{};
        if (mach_make_memory_entry_64(task, &size, start + done, VM_PROT_READ, &entry, MACH_PORT_NULL) !=
            KERN_SUCCESS) {
            mach_vm_deallocate(mach_task_self(), base, total);
            return BBCRASH_ENOMEM;
        }
        if (size > total - done) {
            size = total - done;
        }
        mach_vm_address_t target = base + done;
        kern_return_t kr = mach_vm_map(mach_task_self(), &target, size, 0, VM_FLAGS_FIXED | VM_FLAGS_OVERWRITE, entry,
                                       0, true, VM_PROT_READ, VM_PROT_READ, VM_INHERIT_COPY);
        mach_memory_entry_release(&entry);
        if (kr != KERN_SUCCESS) {
            mach_vm_deallocate(mach_task_self(), base, total);
            return BBCRASH_ENOMEM;
        }
        done += size;
    }

    const mach_vm_size_t lead = task_address - start;
    mobj->task = task;
    mobj->vm_address = static_cast<uintptr_t>(base);
    mobj->vm_length = total;
    mobj->address = static_cast<uintptr_t>(base + lead);
    mobj->task_address = task_address;
    mobj->length = total > lead ? total - lead : 0;
    if (mobj->length > length) {
        mobj->length = length;
    }
    mobj->vm_slide = static_cast<int64_t>(task_address - mobj->address);
    return BBCRASH_ESUCCESS;
}

void bbcrash_async_mobject_free(bbcrash_async_mobject *mobj) {
    if (mobj->vm_address != 0) {
        mach_vm_deallocate(mach_task_self(), mobj->vm_address, mobj->vm_length);
    }
    mobj->vm_address = 0;
    mobj->vm_length = 0;
    mobj->address = 0;
    mobj->length = 0;
}

bool bbcrash_async_mobject_verify_local_pointer(bbcrash_async_mobject *mobj, uintptr_t address, int64_t offset,
                                                mach_vm_size_t length) {
    mach_vm_address_t start = 0;
    if (!bbcrash_async_apply_offset(address, offset, &start)) {
        return false;
    }
    if (start < mobj->address) {
        return false;
    }
    mach_vm_address_t end = start + length;
    if (end < start) {
        return false;
    }
    return end <= mobj->address + mobj->length;
}

void *bbcrash_async_mobject_remap(bbcrash_async_mobject *mobj, mach_vm_address_t task_address, int64_t offset,
                                  mach_vm_size_t length) {
    mach_vm_address_t target = 0;
    if (!bbcrash_async_apply_offset(task_address, offset, &target)) {
        return nullptr;
    }
    // Local address = task address - slide (modular, like the slide itself).
    uintptr_t local = static_cast<uintptr_t>(target - static_cast<uint64_t>(mobj->vm_slide));
    if (!bbcrash_async_mobject_verify_local_pointer(mobj, local, 0, length)) {
        return nullptr;
    }
    return reinterpret_cast<void *>(local);
}

mach_vm_address_t bbcrash_async_mobject_base_address(bbcrash_async_mobject *mobj) { return mobj->task_address; }
mach_vm_size_t bbcrash_async_mobject_length(bbcrash_async_mobject *mobj) { return mobj->length; }
task_t bbcrash_async_mobject_task(bbcrash_async_mobject *mobj) { return mobj->task; }

namespace {

template <typename T>
bbcrash_error_t readValue(bbcrash_async_mobject *mobj, mach_vm_address_t address, int64_t offset, T *result) {
    const void *p = bbcrash_async_mobject_remap(mobj, address, offset, sizeof(T));
    if (p == nullptr) {
        return BBCRASH_EINVAL;
    }
    T value;
    __builtin_memcpy(&value, p, sizeof(T));  // a plain load: fixed size
    *result = value;
    return BBCRASH_ESUCCESS;
}

// A value read as above and converted with one of the byte order's swaps.
template <typename T>
bbcrash_error_t readSwapped(bbcrash_async_mobject *mobj, T (*swap)(T), mach_vm_address_t address, int64_t offset,
                            T *result) {
    T raw = 0;
    const bbcrash_error_t err = readValue(mobj, address, offset, &raw);
    if (err == BBCRASH_ESUCCESS) {
        *result = swap(raw);
    }
    return err;
}

// Shared LEB128 decoder; `sign` asks for sign extension.
bbcrash_error_t readLeb128(bbcrash_async_mobject *mobj, mach_vm_address_t address, int64_t offset, bool sign,
                           uint64_t *result, size_t *size) {
    uint64_t value = 0;
    unsigned shift = 0;
    size_t count = 0;
    uint8_t byte = 0;
    do {
        if (count == 10) {
            return BBCRASH_ENOTSUP;
        }
        const uint8_t *p = static_cast<const uint8_t *>(bbcrash_async_mobject_remap(mobj, address, offset, count + 1));
        if (p == nullptr) {
            return BBCRASH_EINVAL;
        }
        byte = p[count];
        if (shift < 64) {
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
        }
        shift += 7;
        ++count;
    } while (byte & 0x80);
    if (sign && shift < 64 && (byte & 0x40)) {
        value |= ~static_cast<uint64_t>(0) << shift;
    }
    *result = value;
    *size = count;
    return BBCRASH_ESUCCESS;
}

}  // namespace

bbcrash_error_t bbcrash_async_mobject_read_uint8(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *,
                                                 mach_vm_address_t address, int64_t offset, uint8_t *result) {
    return readValue(mobj, address, offset, result);
}

bbcrash_error_t bbcrash_async_mobject_read_uint16(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                  mach_vm_address_t address, int64_t offset, uint16_t *result) {
    return readSwapped(mobj, byteorder->swap16, address, offset, result);
}

bbcrash_error_t bbcrash_async_mobject_read_uint32(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                  mach_vm_address_t address, int64_t offset, uint32_t *result) {
    return readSwapped(mobj, byteorder->swap32, address, offset, result);
}

bbcrash_error_t bbcrash_async_mobject_read_uint64(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                  mach_vm_address_t address, int64_t offset, uint64_t *result) {
    return readSwapped(mobj, byteorder->swap64, address, offset, result);
}

bbcrash_error_t bbcrash_async_mobject_read_uleb128(bbcrash_async_mobject *mobj, mach_vm_address_t address,
                                                   int64_t offset, uint64_t *result, size_t *size) {
    return readLeb128(mobj, address, offset, false, result, size);
}

bbcrash_error_t bbcrash_async_mobject_read_sleb128(bbcrash_async_mobject *mobj, mach_vm_address_t address,
                                                   int64_t offset, int64_t *result, size_t *size) {
    uint64_t raw = 0;
    bbcrash_error_t err = readLeb128(mobj, address, offset, true, &raw, size);
    if (err == BBCRASH_ESUCCESS) {
        *result = static_cast<int64_t>(raw);
    }
    return err;
}

bbcrash_error_t bbcrash_async_task_read_uleb128(task_t task, mach_vm_address_t address, int64_t offset,
                                                uint64_t *result, size_t *size) {
    mach_vm_address_t target = 0;
    if (!bbcrash_async_apply_offset(address, offset, &target)) {
        return BBCRASH_EINVAL;
    }
    bbcrash_async_mobject mobj;
    bbcrash_error_t err = bbcrash_async_mobject_init(&mobj, task, target, 4096, false);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    err = bbcrash_async_mobject_read_uleb128(&mobj, target, 0, result, size);
    bbcrash_async_mobject_free(&mobj);
    return err;
}
