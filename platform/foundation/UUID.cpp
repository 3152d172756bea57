#include "platform/foundation/UUID.h"

#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/random.h>

namespace platform {

UUID UUID::random() {
    Bytes b{};
    size_t got = 0;
    while (got < b.size()) {
        ssize_t n = getrandom(b.data() + got, b.size() - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < b.size()) {
        // getrandom only fails on kernels without it; fall back to the
        // library's generator rather than giving a predictable id.
        std::random_device rd;
        for (auto &x : b) x = static_cast<uint8_t>(rd());
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    return UUID(b);
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes b{};
    size_t bi = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        b[bi++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return UUID(b);
}

std::string UUID::UUIDString() const {
    // Upper-case hex, grouped 8-4-4-4-12.
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text(36, '-');
    size_t at = 0;
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) ++at;
        text[at++] = kHex[bytes_[i] >> 4];
        text[at++] = kHex[bytes_[i] & 0xf];
    }
    return text;
}

}  // namespace platform
