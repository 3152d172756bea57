#include "bbcrash_dwarf_instruction_stream.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

bbcrash_error_t dwarf_instruction_stream::init(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                               mach_vm_address_t address, int64_t offset, uint64_t length) {
    mach_vm_address_t start = 0;
    mach_vm_address_t end = 0;
    if (!bbcrash_async_apply_offset(address, offset, &start) || __builtin_add_overflow(start, length, &end)) {
        return BBCRASH_EINVAL;
    }
    const void *local = bbcrash_async_mobject_remap(mobj, start, 0, length);
    if (local == nullptr && length != 0) {
        return BBCRASH_EINVAL;
    }
    mobj_ = mobj;
    byteorder_ = byteorder;
    start_address_ = start;
    end_address_ = end;
    start_ = static_cast<const uint8_t *>(local);
    end_ = start_ + length;
    current_ = start_;
    return BBCRASH_ESUCCESS;
}

bool dwarf_instruction_stream::take(void *dest, size_t count) {
    if (current_ == nullptr || size_t(end_ - current_) < count) {
        return false;
    }
    __builtin_memcpy(dest, current_, count);
    current_ += count;
    return true;
}

bool dwarf_instruction_stream::read_u8(uint8_t *value) { return take(value, 1); }

bool dwarf_instruction_stream::read_u16(uint16_t *value) {
    uint16_t raw;
    if (!take(&raw, sizeof(raw))) {
        return false;
    }
    *value = byteorder_->swap16(raw);
    return true;
}

bool dwarf_instruction_stream::read_u32(uint32_t *value) {
    uint32_t raw;
    if (!take(&raw, sizeof(raw))) {
        return false;
    }
    *value = byteorder_->swap32(raw);
    return true;
}

bool dwarf_instruction_stream::read_u64(uint64_t *value) {
    uint64_t raw;
    if (!take(&raw, sizeof(raw))) {
        return false;
    }
    *value = byteorder_->swap64(raw);
    return true;
}

bool dwarf_decode_leb128(const uint8_t *p, const uint8_t *end, bool sign, uint64_t *value, size_t *size) {
    uint64_t result = 0;
    unsigned shift = 0;
    size_t count = 0;
    uint8_t byte = 0;
    do {
        if (count == 10 || p + count >= end) {
            return false;
        }
        byte = p[count++];
        if (shift < 64) {
            result |= uint64_t(byte & 0x7f) << shift;
        }
        shift += 7;
    } while (byte & 0x80);
    if (sign && shift < 64 && (byte & 0x40)) {
        result |= ~uint64_t(0) << shift;
    }
    *value = result;
    *size = count;
    return true;
}

bool dwarf_instruction_stream::read_uleb128(uint64_t *value) {
    size_t size = 0;
    if (current_ == nullptr || !dwarf_decode_leb128(current_, end_, false, value, &size)) {
        return false;
    }
    current_ += size;
    return true;
}

bool dwarf_instruction_stream::read_sleb128(int64_t *value) {
    size_t size = 0;
    uint64_t raw = 0;
    if (current_ == nullptr || !dwarf_decode_leb128(current_, end_, true, &raw, &size)) {
        return false;
    }
    *value = int64_t(raw);
    current_ += size;
    return true;
}

bool dwarf_instruction_stream::skip(uint64_t count) {
    if (current_ == nullptr || uint64_t(end_ - current_) < count) {
        return false;
    }
    current_ += count;
    return true;
}

bool dwarf_instruction_stream::jump(int64_t distance) {
    if (current_ == nullptr) {
        return false;
    }
    const int64_t position = int64_t(current_ - start_);
    const int64_t target = position + distance;
    if (target < 0 || target > int64_t(end_ - start_)) {
        return false;
    }
    current_ = start_ + target;
    return true;
}

}  // namespace bbcrash::BN::async
