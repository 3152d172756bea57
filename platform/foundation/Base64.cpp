#include "platform/foundation/Base64.h"

#include <cstring>

namespace platform::base64 {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes symbols (alphabet values only, no padding); `count % 4 == 1` can't
// be base64.
std::optional<Data> decodeSymbols(const std::vector<int> &symbols) {
    if (symbols.size() % 4 == 1) return std::nullopt;
    Data out;
    out.reserve(symbols.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (int v : symbols) {
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// The two symbols of every 12 bits.
struct SymbolPairs {
    char pairs[4096][2];
    constexpr SymbolPairs() : pairs() {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kAlphabet[i >> 6];
            pairs[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr SymbolPairs kSymbolPairs;

}  // namespace

std::string encode(const Data &data) {
    // Written in place, two symbols at a time: stored logs are encoded on
    // every save.
    std::string out((data.size() + 2) / 3 * 4, '=');
    char *p = out.data();
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t n = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        std::memcpy(p, kSymbolPairs.pairs[n >> 12], 2);
        std::memcpy(p + 2, kSymbolPairs.pairs[n & 4095], 2);
        p += 4;
    }
    if (i + 1 == data.size()) {
        uint32_t n = uint32_t(data[i]) << 16;
        *p++ = kAlphabet[n >> 18];
        *p++ = kAlphabet[(n >> 12) & 63];
    } else if (i + 2 == data.size()) {
        uint32_t n = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8;
        *p++ = kAlphabet[n >> 18];
        *p++ = kAlphabet[(n >> 12) & 63];
        *p++ = kAlphabet[(n >> 6) & 63];
    }
    return out;
}

std::optional<Data> decodeStrict(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    std::vector<int> symbols;
    symbols.reserve(text.size());
    for (size_t i = 0; i + padding < text.size(); ++i) {
        int v = valueOf(text[i]);
        if (v < 0) return std::nullopt;
        symbols.push_back(v);
    }
    return decodeSymbols(symbols);
}

std::optional<Data> decodeLenient(std::string_view text) {
    std::vector<int> symbols;
    symbols.reserve(text.size());
    for (char c : text) {
        if (c == '=') break;
        int v = valueOf(c);
        if (v >= 0) symbols.push_back(v);
    }
    return decodeSymbols(symbols);
}

}  // namespace platform::base64
