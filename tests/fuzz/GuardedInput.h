#pragma once
// A fuzz input copied into pages of its own, with an inaccessible page right
// after its last byte and another before its first: code that reads past
// either end through a plain pointer faults at once, under libFuzzer and in
// the replay alike.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

class GuardedInput {
public:
    GuardedInput(const uint8_t *data, size_t size) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        body_ = (size + page - 1) / page * page;
        if (body_ == 0) body_ = page;
        span_ = body_ + 2 * page;
        void *memory = mmap(nullptr, span_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        base_ = static_cast<uint8_t *>(memory);
        mprotect(base_ + page, body_, PROT_READ | PROT_WRITE);
        data_ = base_ + page + body_ - size;
        if (size != 0) std::memcpy(data_, data, size);
        mprotect(base_ + page, body_, PROT_READ);
        size_ = size;
    }
    ~GuardedInput() {
        if (base_ != nullptr) munmap(base_, span_);
    }
    GuardedInput(const GuardedInput &) = delete;
    GuardedInput &operator=(const GuardedInput &) = delete;

    bool valid() const { return base_ != nullptr; }
    const uint8_t *data() const { return data_; }
    uintptr_t address() const { return reinterpret_cast<uintptr_t>(data_); }
    size_t size() const { return size_; }

private:
    uint8_t *base_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t size_ = 0, body_ = 0, span_ = 0;
};
