#pragma once
// A bounded cursor over bytes of a memory object: the reader of CFA programs
// and DWARF expressions. No read ever leaves [start, end).
#include "bbcrash_async_mobject.h"

namespace bbcrash::BN::async {

// Decodes LEB128 from [p, end): at most 10 bytes, bits past 64 dropped;
// false when it does not end within them.
bool dwarf_decode_leb128(const uint8_t *p, const uint8_t *end, bool sign, uint64_t *value, size_t *size);

class dwarf_instruction_stream {
public:
    // Covers `length` bytes at address + offset. 0; 5 when the range wraps,
    // or does not lie inside the object.
    bbcrash_error_t init(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                         platform::mach::mach_vm_address_t address, int64_t offset, uint64_t length);

    // Unsigned values of 1, 2, 4 or 8 bytes through the byte order; false
    // (and nothing consumed) when they would pass the end.
    bool read_u8(uint8_t *value);
    bool read_u16(uint16_t *value);
    bool read_u32(uint32_t *value);
    bool read_u64(uint64_t *value);
    // LEB128 of at most 10 bytes inside the stream.
    bool read_uleb128(uint64_t *value);
    bool read_sleb128(int64_t *value);
    // Moves forward by `count` bytes, or fails when that passes the end.
    bool skip(uint64_t count);
    // Moves by a signed distance; the target may be anywhere in [start, end].
    bool jump(int64_t distance);

    bool at_end() const { return current_ >= end_; }
    // Task address of the next byte.
    platform::mach::mach_vm_address_t position() const {
        return start_address_ + static_cast<platform::mach::mach_vm_address_t>(current_ - start_);
    }

private:
    bool take(void *dest, size_t count);

    const uint8_t *current_ = nullptr;
    bbcrash_async_mobject *mobj_ = nullptr;
    platform::mach::mach_vm_address_t start_address_ = 0;
    platform::mach::mach_vm_address_t end_address_ = 0;
    const uint8_t *start_ = nullptr;
    const uint8_t *end_ = nullptr;
    const bbcrash_async_byteorder *byteorder_ = nullptr;
};

}  // namespace bbcrash::BN::async
