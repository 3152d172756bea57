#pragma once
// Reads typed values off the front of a fuzz input, so that one input can
// drive several arguments. Running out of bytes gives zeros.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : p_(data), n_(size) {}

    template <typename T>
    T take() {
        T v{};
        size_t k = n_ < sizeof(T) ? n_ : sizeof(T);
        if (k) std::memcpy(&v, p_, k);
        p_ += k;
        n_ -= k;
        return v;
    }
    // Up to `max` bytes as a string.
    std::string text(size_t max) {
        size_t k = n_ < max ? n_ : max;
        std::string s(reinterpret_cast<const char *>(p_), k);
        p_ += k;
        n_ -= k;
        return s;
    }
    std::string rest() { return text(n_); }
    size_t remaining() const { return n_; }

private:
    const uint8_t *p_;
    size_t n_;
};

// Stops the run with a message: the property the target checks failed.
[[noreturn]] inline void fail(const char *target, const char *what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

}  // namespace fuzz
