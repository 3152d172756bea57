#include "platform/foundation/PlistNode.h"

#include "platform/foundation/Text.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace platform {

namespace {

// libplist parses binary lists and frees every tree recursively, so a
// crafted file nesting containers a few hundred thousand deep would run the
// stack out. Files are checked for their nesting before libplist sees them.
constexpr size_t kMaxNesting = 512;

uint64_t readBigEndian(const uint8_t *p, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// libplist copies a container once per reference to it, so a file whose
// objects each refer to the next one twice expands to 2^depth nodes. The tree
// libplist would build is counted (references, not distinct objects): writers
// share only leaves (equal strings, numbers, dates), so a file's tree has
// about as many nodes as the file has references; beyond that by this many
// it is refused.
constexpr uint64_t kMaxExpandedNodes = uint64_t(1) << 16;

// The length of an object's payload (the low nibble of its marker, or an
// integer object after it when that nibble is 0xF) and where it begins;
// false when malformed.
bool objectLength(const uint8_t *p, uint64_t offset, uint64_t end, uint64_t &length, uint64_t &at) {
    length = p[offset] & 0x0F;
    at = offset + 1;
    if (length != 0x0F) return true;
    if (at >= end || (p[at] >> 4) != 0x1) return false;
    size_t size = size_t(1) << (p[at] & 0x0F);
    if (size > 8 || at + 1 + size > end) return false;
    length = readBigEndian(p + at + 1, size);
    at += 1 + size;
    return true;
}

// Checks a binary property list before libplist walks it: its object graph
// must be well formed, acyclic, at most kMaxNesting high, expand to a bounded
// tree, and hold no dictionary key with a U+0000 in it (libplist aborts on
// its own assertion when it walks such a key).
bool binaryStructureIsSafe(const uint8_t *p, size_t n) {
    if (n < 8 + 32) return false;
    const uint8_t *trailer = p + n - 32;
    size_t offsetSize = trailer[6], refSize = trailer[7];
    uint64_t count = readBigEndian(trailer + 8, 8), top = readBigEndian(trailer + 16, 8),
             tableOffset = readBigEndian(trailer + 24, 8);
    const size_t bodyEnd = n - 32;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
    if (count == 0 || top >= count || tableOffset < 8 || tableOffset >= bodyEnd) return false;
    if (count > (bodyEnd - tableOffset) / offsetSize) return false;

    auto offsetOf = [&](uint64_t object, uint64_t &offset) {
        offset = readBigEndian(p + tableOffset + object * offsetSize, offsetSize);
        return offset >= 8 && offset < tableOffset;
    };
    // A key object that is a string holding U+0000 (ASCII or UTF-16).
    auto keyHoldsNul = [&](uint64_t object) {
        uint64_t offset = 0, length = 0, at = 0;
        if (!offsetOf(object, offset)) return true;
        uint8_t type = p[offset] >> 4;
        if (type != 0x5 && type != 0x6) return false;
        if (!objectLength(p, offset, tableOffset, length, at)) return true;
        uint64_t unit = type == 0x6 ? 2 : 1;
        if (length > (tableOffset - at) / unit) return true;
        for (uint64_t i = 0; i < length; ++i) {
            if (unit == 1 ? p[at + i] == 0 : (p[at + 2 * i] == 0 && p[at + 2 * i + 1] == 0)) return true;
        }
        return false;
    };
    // The references an object holds; false when malformed.
    auto children = [&](uint64_t object, std::vector<uint64_t> &out) -> bool {
        out.clear();
        uint64_t offset = 0, items = 0, at = 0;
        if (!offsetOf(object, offset)) return false;
        uint8_t type = p[offset] >> 4;
        if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return true;
        if (!objectLength(p, offset, tableOffset, items, at)) return false;
        uint64_t refs = type == 0xD ? items * 2 : items;
        if (items > tableOffset || refs > (tableOffset - at) / refSize) return false;
        out.reserve(refs);
        for (uint64_t i = 0; i < refs; ++i) {
            uint64_t ref = readBigEndian(p + at + i * refSize, refSize);
            if (ref >= count) return false;
            if (type == 0xD && i < items && keyHoldsNul(ref)) return false;
            out.push_back(ref);
        }
        return true;
    };

    // height: 0 unvisited, -1 being visited, else 1 + the tallest child.
    // nodes: the size of the tree libplist makes of the object, saturated.
    constexpr uint64_t kSaturated = uint64_t(1) << 62;
    std::vector<int32_t> height(count, 0);
    std::vector<uint64_t> nodes(count, 0);
    uint64_t fileReferences = 0;
    struct Frame {
        uint64_t object;
        std::vector<uint64_t> refs;
        size_t next;
    };
    std::vector<Frame> stack;
    std::vector<uint64_t> refs;
    if (!children(top, refs)) return false;
    fileReferences += refs.size();
    stack.push_back({top, refs, 0});
    height[top] = -1;
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next < frame.refs.size()) {
            uint64_t child = frame.refs[frame.next++];
            if (height[child] == -1) return false;  // a cycle
            if (height[child] > 0) continue;
            if (stack.size() >= kMaxNesting) return false;
            if (!children(child, refs)) return false;
            fileReferences += refs.size();
            height[child] = -1;
            stack.push_back({child, refs, 0});
            continue;
        }
        int32_t h = 1;
        uint64_t size = 1;
        for (uint64_t c : frame.refs) {
            h = std::max(h, height[c] + 1);
            size = std::min(kSaturated, size + nodes[c]);
        }
        height[frame.object] = h;
        nodes[frame.object] = size;
        stack.pop_back();
    }
    return static_cast<size_t>(height[top]) <= kMaxNesting && nodes[top] <= kMaxExpandedNodes + fileReferences + count;
}

// The deepest nesting of <array> and <dict> elements in XML text.
bool xmlNestingIsSafe(const char *p, size_t n) {
    std::string_view text(p, n);
    size_t depth = 0;
    size_t i = 0;
    while ((i = text.find('<', i)) != std::string_view::npos) {
        std::string_view rest = text.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            size_t end = text.find("-->", i + 4);
            if (end == std::string_view::npos) return false;
            i = end + 3;
            continue;
        }
        if (rest.substr(0, 9) == "<![CDATA[") {
            size_t end = text.find("]]>", i + 9);
            if (end == std::string_view::npos) return false;
            i = end + 3;
            continue;
        }
        size_t close = text.find('>', i);
        if (close == std::string_view::npos) return false;
        std::string_view tag = text.substr(i + 1, close - i - 1);
        bool selfClosing = !tag.empty() && tag.back() == '/';
        auto isTag = [&](std::string_view name) {
            return tag.substr(0, name.size()) == name &&
                   (tag.size() == name.size() || tag[name.size()] == ' ' || tag[name.size()] == '\t' ||
                    tag[name.size()] == '\n' || tag[name.size()] == '\r' || tag[name.size()] == '/');
        };
        if (!selfClosing && (isTag("array") || isTag("dict"))) {
            if (++depth > kMaxNesting) return false;
        } else if (isTag("/array") || isTag("/dict")) {
            if (depth > 0) --depth;
        }
        i = close + 1;
    }
    return true;
}

}  // namespace

PlistNode PlistNode::parse(const Data &bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return PlistNode();
    plist_t root = nullptr;
    const char *p = reinterpret_cast<const char *>(bytes.data());
    auto length = static_cast<uint32_t>(bytes.size());
    if (bytes.size() >= 8 && std::memcmp(p, "bplist00", 8) == 0) {
        if (!binaryStructureIsSafe(bytes.data(), bytes.size())) return PlistNode();
        plist_from_bin(p, length, &root);
    } else {
        if (!xmlNestingIsSafe(p, bytes.size())) return PlistNode();
        plist_from_xml(p, length, &root);
    }
    return PlistNode(root);
}

std::optional<Data> PlistNode::toBinary() const {
    if (!node_) return std::nullopt;
    char *out = nullptr;
    uint32_t length = 0;
    plist_to_bin(node_, &out, &length);
    if (!out) return std::nullopt;
    Data data(reinterpret_cast<uint8_t *>(out), reinterpret_cast<uint8_t *>(out) + length);
    plist_to_bin_free(out);
    return data;
}

std::optional<Data> PlistNode::toXML() const {
    if (!node_) return std::nullopt;
    char *out = nullptr;
    uint32_t length = 0;
    plist_to_xml(node_, &out, &length);
    if (!out) return std::nullopt;
    Data data(reinterpret_cast<uint8_t *>(out), reinterpret_cast<uint8_t *>(out) + length);
    plist_to_xml_free(out);
    return data;
}

std::optional<std::string> PlistNode::stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char *p = plist_get_string_ptr(node, &length);
    if (!p) return std::string();
    return storableText(std::string_view(p, static_cast<size_t>(length)));
}

std::optional<Data> PlistNode::dataValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
    uint64_t length = 0;
    const char *p = plist_get_data_ptr(node, &length);
    if (!p || length == 0) return Data();
    return Data(reinterpret_cast<const uint8_t *>(p), reinterpret_cast<const uint8_t *>(p) + length);
}

std::optional<Value> PlistNode::scalarValue(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING: return Value(*stringValue(node));
    default: return std::nullopt;
    }
}

std::optional<uint64_t> PlistNode::uidValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UID) return std::nullopt;
    uint64_t v = 0;
    plist_get_uid_val(node, &v);
    return v;
}

std::optional<std::vector<plist_t>> PlistNode::arrayElements(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
    std::vector<plist_t> items;
    items.reserve(plist_array_get_size(node));
    plist_array_iter it = nullptr;
    plist_array_new_iter(node, &it);
    if (!it) return items;
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(node, it, &item);
        if (!item) break;
        items.push_back(item);
    }
    free(it);
    return items;
}

std::optional<std::vector<std::pair<std::string, plist_t>>> PlistNode::dictionaryEntries(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
    std::vector<std::pair<std::string, plist_t>> items;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    if (!it) return items;
    for (;;) {
        char *key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
            free(key);
            break;
        }
        items.emplace_back(key ? storableText(key) : std::string(), item);
        free(key);
    }
    free(it);
    return items;
}

std::optional<plist_t> PlistNode::newDate(const Date &date) {
    double t = date.timeIntervalSinceReferenceDate();
    if (!std::isfinite(t)) return std::nullopt;
    double whole = std::floor(t);
    if (whole < std::numeric_limits<int32_t>::min() || whole >= std::numeric_limits<int32_t>::max())
        return std::nullopt;
    auto sec = static_cast<int64_t>(whole);
    auto usec = static_cast<int64_t>(std::llround((t - whole) * 1e6));
    if (usec >= 1000000) {
        sec += 1;
        usec -= 1000000;
    }
    if (sec > std::numeric_limits<int32_t>::max()) return std::nullopt;
    // libplist adds the microseconds to the (possibly negative) seconds.
    return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
}

Date PlistNode::dateValue(plist_t node) {
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    // libplist truncates toward zero and reports the fraction's magnitude.
    double t = sec < 0 ? static_cast<double>(sec) - usec / 1e6 : static_cast<double>(sec) + usec / 1e6;
    return Date::fromTimeIntervalSinceReferenceDate(t);
}

std::optional<plist_t> PlistNode::newString(const std::string &text) {
    if (!isStorableText(text)) return std::nullopt;
    return plist_new_string(text.c_str());
}

bool PlistNode::isStorableText(std::string_view text) {
    return text.find('\0') == std::string_view::npos && text::isValidUTF8(text);
}

std::string PlistNode::storableText(std::string_view text) {
    if (isStorableText(text)) return std::string(text);
    return text::replaceAll(text::lossyUTF8(text), std::string_view("\0", 1), "\xEF\xBF\xBD");
}

plist_t PlistNode::newData(const Data &data) {
    return plist_new_data(reinterpret_cast<const char *>(data.data()), data.size());
}

}  // namespace platform
