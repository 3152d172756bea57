#include "platform/foundation/Text.h"

#include <cstdint>

namespace platform::text {

namespace {

// Length in bytes of the UTF-8 sequence that starts with `lead`, and the
// UTF-16 units it takes; 1 byte and 1 unit for an invalid lead byte.
struct Step {
    size_t bytes;
    size_t units;
};

Step stepAt(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t need = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (need == 0 || i + need > s.size()) return {1, 1};
    for (size_t k = 1; k < need; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return {1, 1};
    return {need, need == 4 ? 2u : 1u};
}

}  // namespace

size_t utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (size_t i = 0; i < utf8.size();) {
        Step st = stepAt(utf8, i);
        units += st.units;
        i += st.bytes;
    }
    return units;
}

std::string utf16Prefix(std::string_view utf8, size_t maxUnits) {
    size_t units = 0, i = 0;
    while (i < utf8.size()) {
        Step st = stepAt(utf8, i);
        if (units + st.units > maxUnits) break;
        units += st.units;
        i += st.bytes;
    }
    return std::string(utf8.substr(0, i));
}

bool isValidUTF8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        auto b0 = static_cast<uint8_t>(bytes[i]);
        size_t extra;
        uint32_t low;  // smallest code point for the length (rejects overlong forms)
        uint32_t cp;
        if (b0 < 0x80) {
            ++i;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, low = 0x80, cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, low = 0x800, cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, low = 0x10000, cp = b0 & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            auto b = static_cast<uint8_t>(bytes[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < low || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool hasPrefix(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool hasSuffix(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool contains(std::string_view s, std::string_view needle) { return s.find(needle) != std::string_view::npos; }

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(s);
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t hit = s.find(from, pos);
        if (hit == std::string_view::npos) break;
        out.append(s.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(s.substr(pos));
    return out;
}

}  // namespace platform::text
