#pragma once
// Builds DWARF byte sequences at a fixed address in this process, so that
// pc-relative fields can be computed as they are written, and maps them as a
// memory object for the unwinder's readers.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bbcrash_async_mobject.h"

namespace dwarftest {

class Bytes {
public:
    Bytes() : buffer_(new uint8_t[kCapacity]()) {}
    ~Bytes() {
        if (mapped_) {
            bbcrash_async_mobject_free(&mobj_);
        }
        delete[] buffer_;
    }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;

    uint64_t base() const { return reinterpret_cast<uintptr_t>(buffer_); }
    uint64_t here() const { return base() + size_; }
    size_t size() const { return size_; }
    uint8_t *data() { return buffer_; }

    Bytes &u8(uint8_t v) { return raw(&v, 1); }
    Bytes &u16(uint16_t v) { return raw(&v, 2); }
    Bytes &u32(uint32_t v) { return raw(&v, 4); }
    Bytes &u64(uint64_t v) { return raw(&v, 8); }
    Bytes &uleb(uint64_t v) {
        do {
            uint8_t b = v & 0x7f;
            v >>= 7;
            u8(v ? (b | 0x80) : b);
        } while (v);
        return *this;
    }
    Bytes &sleb(int64_t v) {
        for (;;) {
            uint8_t b = v & 0x7f;
            v >>= 7;
            const bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
            u8(done ? b : (b | 0x80));
            if (done) {
                return *this;
            }
        }
    }
    Bytes &str(const char *s) { return raw(s, std::strlen(s) + 1); }
    Bytes &bytes(std::initializer_list<uint8_t> list) {
        for (uint8_t b : list) {
            u8(b);
        }
        return *this;
    }
    // A 4-byte pc-relative offset from the field to `target`.
    Bytes &pcrel32(uint64_t target) { return u32(uint32_t(target - here())); }
    // Writes a 32-bit value at an earlier position.
    void patch32(size_t at, uint32_t v) { std::memcpy(buffer_ + at, &v, 4); }
    void patch64(size_t at, uint64_t v) { std::memcpy(buffer_ + at, &v, 8); }
    void pad(size_t alignment) {
        while (size_ % alignment) {
            u8(0);
        }
    }

    bbcrash_async_mobject *map() {
        if (!mapped_) {
            if (bbcrash_async_mobject_init(&mobj_, platform::mach::mach_task_self(), base(), size_ ? size_ : 1, true) ==
                BBCRASH_ESUCCESS) {
                mapped_ = true;
            }
        }
        return mapped_ ? &mobj_ : nullptr;
    }

private:
    Bytes &raw(const void *p, size_t n) {
        std::memcpy(buffer_ + size_, p, n);
        size_ += n;
        return *this;
    }

    static constexpr size_t kCapacity = 1 << 16;
    uint8_t *buffer_;
    size_t size_ = 0;
    bbcrash_async_mobject mobj_{};
    bool mapped_ = false;
};

}  // namespace dwarftest
