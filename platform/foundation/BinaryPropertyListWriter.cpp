#include "platform/foundation/BinaryPropertyListWriter.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/foundation/PlistNode.h"

namespace platform {

namespace {

// One object of the list: a value, or a dictionary key (a string).
struct FlatObject {
    const Value *value = nullptr;
    const std::string *key = nullptr;
    size_t firstRef = 0;  // into the shared reference pool (containers)
    size_t refCount = 0;
};

class Flattener {
public:
    Flattener(int maxDepth, std::string &reason) : maxDepth_(maxDepth), reason_(reason) {}

    // Adds the value and everything inside it; the value's object index, or
    // SIZE_MAX when it cannot be written.
    size_t add(const Value &v, int depth) {
        if (depth > maxDepth_) return fail("The property list nests too deeply.");
        const size_t index = objects.size();
        objects.push_back({&v, nullptr, 0, 0});
        switch (v.type()) {
        case Value::Type::Bool:
        case Value::Type::Integer:
        case Value::Type::Real:
        case Value::Type::Data: return index;
        case Value::Type::String:
            if (!PlistNode::isStorableText(*v.string()))
                return fail("A string is not UTF-8 text or holds a NUL character.");
            return index;
        case Value::Type::Date: {
            auto node = PlistNode::newDate(*v.date());
            if (!node) return fail("A date lies outside the range a property list can hold.");
            plist_free(*node);
            return index;
        }
        case Value::Type::Array: {
            std::vector<size_t> refs;
            refs.reserve(v.array()->size());
            for (const auto &item : *v.array()) {
                size_t child = add(item, depth + 1);
                if (child == SIZE_MAX) return SIZE_MAX;
                refs.push_back(child);
            }
            return close(index, refs);
        }
        case Value::Type::Dictionary: {
            const auto &dict = *v.dictionary();
            std::vector<size_t> refs(dict.size() * 2);
            size_t i = 0;
            for (const auto &[key, item] : dict) {
                if (!PlistNode::isStorableText(key))
                    return fail("A dictionary key is not UTF-8 text or holds a NUL character.");
                refs[i] = objects.size();
                objects.push_back({nullptr, &key, 0, 0});
                size_t child = add(item, depth + 1);
                if (child == SIZE_MAX) return SIZE_MAX;
                refs[dict.size() + i] = child;
                ++i;
            }
            return close(index, refs);
        }
        case Value::Type::Null: return fail("nil is not a property-list value.");
        case Value::Type::UUID: return fail("A UUID is not a property-list value.");
        case Value::Type::Object:
            return fail("An object of class " + v.object()->className() + " is not a property-list value.");
        }
        return fail("Unknown value type.");
    }

    std::vector<FlatObject> objects;
    std::vector<size_t> refPool;

private:
    size_t fail(const std::string &why) {
        reason_ = why;
        return SIZE_MAX;
    }
    size_t close(size_t index, const std::vector<size_t> &refs) {
        objects[index].firstRef = refPool.size();
        objects[index].refCount = refs.size();
        refPool.insert(refPool.end(), refs.begin(), refs.end());
        return index;
    }

    int maxDepth_;
    std::string &reason_;
};

// The fewest bytes (1, 2, 4 or 8) that hold the number.
unsigned widthFor(uint64_t n) {
    if (n <= 0xFF) return 1;
    if (n <= 0xFFFF) return 2;
    if (n <= 0xFFFFFFFFu) return 4;
    return 8;
}

class Encoder {
public:
    Data out;

    void bigEndian(uint64_t v, unsigned width) {
        for (unsigned i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    // An integer object: 1, 2 and 4 bytes are unsigned, 8 bytes signed.
    void integer(uint64_t v, bool negative) {
        unsigned width = negative ? 8 : widthFor(v);
        out.push_back(static_cast<uint8_t>(0x10 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3)));
        bigEndian(v, width);
    }
    // A marker with its count in the low nibble, or after it as an integer.
    void marker(uint8_t type, uint64_t count) {
        if (count < 15) {
            out.push_back(static_cast<uint8_t>(type << 4 | count));
        } else {
            out.push_back(static_cast<uint8_t>(type << 4 | 0x0F));
            integer(count, false);
        }
    }
    void real(uint8_t markerByte, double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        out.push_back(markerByte);
        bigEndian(bits, 8);
    }
    // ASCII as one byte per character, anything else as UTF-16 (big endian).
    void string(const std::string &s) {
        bool ascii = true;
        for (unsigned char c : s) ascii = ascii && c < 0x80;
        if (ascii) {
            marker(0x5, s.size());
            out.insert(out.end(), s.begin(), s.end());
            return;
        }
        std::vector<uint16_t> units;
        units.reserve(s.size());
        for (size_t i = 0; i < s.size();) {
            // Well-formed UTF-8: checked while flattening.
            unsigned char c = static_cast<unsigned char>(s[i]);
            uint32_t cp;
            size_t n;
            if (c < 0x80)
                cp = c, n = 1;
            else if (c < 0xE0)
                cp = c & 0x1F, n = 2;
            else if (c < 0xF0)
                cp = c & 0x0F, n = 3;
            else
                cp = c & 0x07, n = 4;
            for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            i += n;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                units.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
                units.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
            } else {
                units.push_back(static_cast<uint16_t>(cp));
            }
        }
        marker(0x6, units.size());
        for (uint16_t u : units) bigEndian(u, 2);
    }
};

}  // namespace

std::optional<Data> BinaryPropertyListWriter::dataWithPropertyList(const Value &plist, int maxDepth,
                                                                   std::string &reason) {
    Flattener flat(maxDepth, reason);
    if (flat.add(plist, 0) == SIZE_MAX) return std::nullopt;
    const uint64_t count = flat.objects.size();
    const unsigned refSize = widthFor(count - 1);

    Encoder e;
    e.out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    e.out.reserve(count * 12 + 64);
    std::vector<uint64_t> offsets;
    offsets.reserve(count);
    for (const FlatObject &o : flat.objects) {
        offsets.push_back(e.out.size());
        if (o.key) {
            e.string(*o.key);
            continue;
        }
        const Value &v = *o.value;
        switch (v.type()) {
        case Value::Type::Bool: e.out.push_back(*v.boolValue() ? 0x09 : 0x08); break;
        case Value::Type::Integer: {
            int64_t i = *v.int64Value();
            e.integer(static_cast<uint64_t>(i), i < 0);
            break;
        }
        case Value::Type::Real: e.real(0x23, *v.doubleValue()); break;
        case Value::Type::Date: {
            // Rounded to the microsecond as libplist keeps a date.
            plist_t node = *PlistNode::newDate(*v.date());
            const double t = PlistNode::dateValue(node).timeIntervalSinceReferenceDate();
            plist_free(node);
            e.real(0x33, t);
            break;
        }
        case Value::Type::Data: {
            const Data &d = *v.data();
            e.marker(0x4, d.size());
            e.out.insert(e.out.end(), d.begin(), d.end());
            break;
        }
        case Value::Type::String: e.string(*v.string()); break;
        case Value::Type::Array:
        case Value::Type::Dictionary: {
            bool dict = v.type() == Value::Type::Dictionary;
            e.marker(dict ? 0xD : 0xA, dict ? o.refCount / 2 : o.refCount);
            for (size_t r = 0; r < o.refCount; ++r) e.bigEndian(flat.refPool[o.firstRef + r], refSize);
            break;
        }
        default: break;  // refused while flattening
        }
    }
    const uint64_t tableOffset = e.out.size();
    const unsigned offsetSize = widthFor(tableOffset);
    for (uint64_t offset : offsets) e.bigEndian(offset, offsetSize);
    // The trailer: six unused bytes, the two widths, the object count, the
    // top object and where the offset table begins.
    for (int i = 0; i < 6; ++i) e.out.push_back(0);
    e.out.push_back(static_cast<uint8_t>(offsetSize));
    e.out.push_back(static_cast<uint8_t>(refSize));
    e.bigEndian(count, 8);
    e.bigEndian(0, 8);
    e.bigEndian(tableOffset, 8);
    return std::move(e.out);
}

}  // namespace platform
