#include "platform/foundation/Text.h"

#include <cstdint>
#include <cstring>

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

// The length of the well-formed UTF-8 sequence at i, or 0 when it is
// ill-formed.
size_t validSequenceAt(std::string_view s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t extra;
    uint32_t min, cp;
    if ((c & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() - i <= extra) return 0;
    for (size_t k = 1; k <= extra; ++k) {
        auto next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return extra + 1;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        // Runs of ASCII are passed eight bytes at a time.
        uint64_t word;
        if (bytes.size() - i >= sizeof word) {
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += sizeof word;
                continue;
            }
        }
        size_t n = validSequenceAt(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string lossyUTF8(std::string_view bytes) {
    if (isValidUTF8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    for (size_t i = 0; i < bytes.size();) {
        size_t n = validSequenceAt(bytes, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

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

std::string listed(const std::vector<std::string> &items, size_t shown) {
    std::string out;
    for (size_t i = 0; i < items.size() && i < shown; ++i) out += (i ? ", " : "") + items[i];
    if (items.size() > shown) out += " and " + std::to_string(items.size() - shown) + " more";
    return out;
}

}  // namespace platform::text
