#include "platform/foundation/BinaryPlistWriter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/foundation/PlistNode.h"

namespace platform {

namespace {

// libplist writes at most this many objects with two-byte references; the
// writer leaves larger trees to it.
constexpr size_t kMaxObjects = 0xFFFF;
// Texts are copied into blocks of this size; longer ones get a block of
// their own.
constexpr size_t kBlockSize = 8192;
constexpr size_t kOwnBlockAbove = 1024;
// Tables grown beyond these by one large tree are let go rather than kept
// for the next writer.
constexpr size_t kKeptNodes = 4096;
constexpr size_t kKeptSlots = 16384;

// The fewest bytes that hold the value (at least one).
size_t exactSize(uint64_t value) {
    size_t size = 1;
    while (size < 8 && (value >> (8 * size)) != 0) ++size;
    return size;
}

// Integers take 1, 2, 4 or 8 bytes.
size_t integerSize(uint64_t value) {
    const size_t size = exactSize(value);
    return size <= 2 ? size : size <= 4 ? 4 : 8;
}

// A marker with the count in its low nibble, or 0xF and the count as an
// integer object after it.
size_t markerSize(uint64_t count) { return count < 15 ? 1 : 2 + integerSize(count); }

void putBigEndian(uint8_t *&out, uint64_t value, size_t size) {
    for (size_t i = size; i-- > 0;) *out++ = static_cast<uint8_t>(value >> (8 * i));
}

void putInteger(uint8_t *&out, uint64_t value) {
    const size_t size = integerSize(value);
    *out++ = static_cast<uint8_t>(0x10 | std::countr_zero(size));
    putBigEndian(out, value, size);
}

void putMarker(uint8_t *&out, uint8_t marker, uint64_t count) {
    if (count < 15) {
        *out++ = static_cast<uint8_t>(marker | count);
    } else {
        *out++ = static_cast<uint8_t>(marker | 0x0F);
        putInteger(out, count);
    }
}

void putBytes(uint8_t *&out, std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
}

bool isASCII(std::string_view text) {
    size_t i = 0;
    for (uint64_t word; i + sizeof word <= text.size(); i += sizeof word) {
        std::memcpy(&word, text.data() + i, sizeof word);
        if (word & 0x8080808080808080ull) return false;
    }
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}

// A real is written in four bytes when a float holds it exactly.
bool fitsFloat(uint64_t bits) {
    const double value = std::bit_cast<double>(bits);
    return static_cast<double>(static_cast<float>(value)) == value;
}

uint64_t mixed(uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdull;
    value ^= value >> 33;
    return value;
}

uint64_t load64(const char *bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

}  // namespace

size_t BinaryPlistWriter::TextHash::operator()(std::string_view text) const {
    // Every byte counts: texts that differ anywhere (paths, keys with a
    // number in their middle) must not pile up in one slot, or a file of many
    // such keys would cost its square to write. Most texts are keys of a few
    // bytes: the last word is read overlapping the one before, with no call.
    const size_t size = text.size();
    const char *bytes = text.data();
    uint64_t hash = size * 0x9E3779B97F4A7C15ull;
    if (size >= 8) {
        for (size_t at = 0; at + 8 < size; at += 8) hash = (hash ^ load64(bytes + at)) * 0xC2B2AE3D27D4EB4Full;
        hash ^= load64(bytes + size - 8);
    } else {
        uint64_t word = 0;
        for (size_t at = 0; at < size; ++at) word |= uint64_t(static_cast<unsigned char>(bytes[at])) << (8 * at);
        hash ^= word;
    }
    return static_cast<size_t>(mixed(hash * 0x165667B19E3779F9ull));
}

// The writer's tables, and the scratch space of write().
struct BinaryPlistWriter::Tables {
    struct Block {
        std::unique_ptr<char[]> bytes;
        size_t size = 0;
        size_t used = 0;
    };
    std::vector<Node> nodes;
    std::vector<Item> items;
    std::vector<Block> blocks;  // the last one is filled
    std::vector<std::unique_ptr<char[]>> ownBlocks;

    // Every dictionary's keys: the item of the key (plus one) by the
    // dictionary and the key's text, so that setting a key finds the one
    // set before without going through the dictionary.
    struct KeySlot {
        NodeId dictionary = 0;
        uint32_t item = 0;
    };
    std::vector<KeySlot> keySlots = std::vector<KeySlot>(256);
    size_t keyCount = 0;

    std::vector<uint32_t> objectOf;
    std::vector<NodeId> objects;
    std::vector<uint32_t> cursors;
    std::vector<uint32_t> slots;

    bool worthKeeping() const {
        return nodes.capacity() <= kKeptNodes && slots.capacity() <= kKeptSlots && keySlots.size() <= kKeptSlots;
    }

    // Empties the tables; the first block and the capacities stay.
    void clear() {
        nodes.clear();
        items.clear();
        // A table grown by a large tree starts small again.
        if (keySlots.size() > 1024) {
            keySlots = std::vector<KeySlot>(256);
        } else {
            std::fill(keySlots.begin(), keySlots.end(), KeySlot());
        }
        keyCount = 0;
        if (blocks.size() > 1) blocks.resize(1);
        if (!blocks.empty()) blocks.front().used = 0;
        ownBlocks.clear();
    }
};

std::unique_ptr<BinaryPlistWriter::Tables> &BinaryPlistWriter::spareTables() {
    // One set per thread: a writer made while another is alive on the same
    // thread (an archive inside an archive) makes its own.
    static thread_local std::unique_ptr<Tables> spare;
    return spare;
}

BinaryPlistWriter::BinaryPlistWriter() : tables_(std::move(spareTables())) {
    if (!tables_) {
        tables_ = std::make_unique<Tables>();
        tables_->nodes.reserve(256);
        tables_->items.reserve(256);
    }
}

BinaryPlistWriter::~BinaryPlistWriter() {
    if (!tables_ || !tables_->worthKeeping()) return;
    auto &spare = spareTables();
    if (spare) return;
    tables_->clear();
    spare = std::move(tables_);
}

std::string_view BinaryPlistWriter::keep(std::string_view bytes) {
    // Never a null pointer, which libplist's copies would be given.
    if (bytes.empty()) return std::string_view("", 0);
    Tables &t = *tables_;
    char *at = nullptr;
    if (bytes.size() > kOwnBlockAbove) {
        t.ownBlocks.push_back(std::make_unique<char[]>(bytes.size()));
        at = t.ownBlocks.back().get();
    } else {
        if (t.blocks.empty() || t.blocks.back().size - t.blocks.back().used < bytes.size())
            t.blocks.push_back({std::make_unique<char[]>(kBlockSize), kBlockSize, 0});
        auto &block = t.blocks.back();
        at = block.bytes.get() + block.used;
        block.used += bytes.size();
    }
    std::memcpy(at, bytes.data(), bytes.size());
    return {at, bytes.size()};
}

BinaryPlistWriter::NodeId BinaryPlistWriter::add(Kind kind, uint64_t number, std::string_view bytes) {
    auto &nodes = tables_->nodes;
    bool needsLibplist = false;
    switch (kind) {
    case Kind::String:
    case Kind::Key: needsLibplist = !isASCII(bytes); break;
    case Kind::Real: needsLibplist = !std::isfinite(std::bit_cast<double>(number)); break;
    case Kind::UID: needsLibplist = number > std::numeric_limits<uint32_t>::max(); break;
    default: break;
    }
    nodes.push_back(Node{kind, needsLibplist, 0, number, bytes, kNone, kNone});
    return static_cast<NodeId>(nodes.size() - 1);
}

BinaryPlistWriter::NodeId BinaryPlistWriter::newDictionary() { return add(Kind::Dictionary); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newArray() { return add(Kind::Array); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newString(std::string_view text) {
    return newString(text, TextHash()(text));
}
BinaryPlistWriter::NodeId BinaryPlistWriter::newString(std::string_view text, size_t hash) {
    // A text's hash is kept in its number.
    return add(Kind::String, hash, keep(text));
}
BinaryPlistWriter::NodeId BinaryPlistWriter::newInteger(uint64_t value) { return add(Kind::Integer, value); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newUID(uint64_t value) { return add(Kind::UID, value); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newReal(double value) {
    return add(Kind::Real, std::bit_cast<uint64_t>(value));
}
BinaryPlistWriter::NodeId BinaryPlistWriter::newBool(bool value) { return add(Kind::Bool, value ? 1 : 0); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newData(const Data &data) { return newData(data.data(), data.size()); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newData(const uint8_t *bytes, size_t size) {
    return add(Kind::Data, 0, keep(std::string_view(reinterpret_cast<const char *>(bytes), size)));
}

std::string_view BinaryPlistWriter::bytesOf(NodeId id) const { return tables_->nodes[id].bytes; }
size_t BinaryPlistWriter::textHashOf(NodeId id) const { return static_cast<size_t>(tables_->nodes[id].number); }

void BinaryPlistWriter::append(NodeId parent, NodeId child) {
    auto &items = tables_->items;
    const auto item = static_cast<uint32_t>(items.size());
    items.push_back(Item{child, kNone});
    Node &node = tables_->nodes[parent];
    if (node.lastItem == kNone) {
        node.firstItem = item;
    } else {
        items[node.lastItem].next = item;
    }
    node.lastItem = item;
    ++node.count;
}

void BinaryPlistWriter::setItem(NodeId dictionary, std::string_view key, NodeId value) {
    Tables &t = *tables_;
    const auto slotOf = [&](NodeId owner, std::string_view text, size_t hash) {
        const size_t mask = t.keySlots.size() - 1;
        size_t slot = (hash ^ mixed(owner)) & mask;
        while (t.keySlots[slot].item != 0 && !(t.keySlots[slot].dictionary == owner &&
                                               t.nodes[t.items[t.keySlots[slot].item - 1].node].bytes == text)) {
            slot = (slot + 1) & mask;
        }
        return slot;
    };
    if (2 * (t.keyCount + 1) > t.keySlots.size()) {
        std::vector<Tables::KeySlot> old(t.keySlots.size() * 2);
        old.swap(t.keySlots);
        for (const auto &entry : old) {
            if (entry.item == 0) continue;
            const Node &keyNode = t.nodes[t.items[entry.item - 1].node];
            t.keySlots[slotOf(entry.dictionary, keyNode.bytes, keyNode.number)] = entry;
        }
    }
    const size_t hash = TextHash()(key);
    const size_t slot = slotOf(dictionary, key, hash);
    if (t.keySlots[slot].item != 0) {
        t.items[t.items[t.keySlots[slot].item - 1].next].node = value;
        return;
    }
    const NodeId keyNode = add(Kind::Key, hash, keep(key));
    append(dictionary, keyNode);
    t.keySlots[slot] = {dictionary, static_cast<uint32_t>(t.items.size())};
    ++t.keyCount;
    append(dictionary, value);
}

void BinaryPlistWriter::appendItem(NodeId array, NodeId value) { append(array, value); }

std::optional<Data> BinaryPlistWriter::write(NodeId root) const {
    Tables &t = *tables_;
    if (root >= t.nodes.size()) return std::nullopt;

    // Object numbers in preorder; an equal scalar met before is not written
    // again. Dictionaries and arrays are never shared. Scalars are found
    // again through an open-addressed table of object numbers (plus one).
    t.objectOf.assign(t.nodes.size(), 0);
    t.objects.clear();
    t.cursors.clear();
    size_t slotCount = 64;
    while (slotCount < 2 * t.nodes.size()) slotCount *= 2;
    t.slots.assign(slotCount, 0);
    const size_t mask = slotCount - 1;
    const auto visit = [&](NodeId id) {
        const Node &node = t.nodes[id];
        if (node.needsLibplist) return false;
        const auto next = static_cast<uint32_t>(t.objects.size());
        const bool text = node.kind == Kind::String || node.kind == Kind::Key;
        if (text || node.kind == Kind::Integer || node.kind == Kind::UID || node.kind == Kind::Real ||
            node.kind == Kind::Bool) {
            const uint64_t kind = static_cast<uint64_t>(node.kind);
            size_t slot = (text ? node.number ^ mixed(kind) : mixed(node.number + kind)) & mask;
            for (; t.slots[slot] != 0; slot = (slot + 1) & mask) {
                const Node &seen = t.nodes[t.objects[t.slots[slot] - 1]];
                if (seen.kind == node.kind && seen.number == node.number && (!text || seen.bytes == node.bytes)) {
                    t.objectOf[id] = t.slots[slot] - 1;
                    return true;
                }
            }
            t.slots[slot] = next + 1;
        }
        t.objectOf[id] = next;
        if (t.objects.size() == kMaxObjects) return false;
        t.objects.push_back(id);
        if (node.firstItem != kNone) t.cursors.push_back(node.firstItem);
        return true;
    };
    if (!visit(root)) return writeWithLibplist(root);
    while (!t.cursors.empty()) {
        const uint32_t item = t.cursors.back();
        if (item == kNone) {
            t.cursors.pop_back();
            continue;
        }
        t.cursors.back() = t.items[item].next;
        if (!visit(t.items[item].node)) return writeWithLibplist(root);
    }

    const size_t refSize = exactSize(t.objects.size());
    size_t tableOffset = 8;
    for (NodeId id : t.objects) {
        const Node &node = t.nodes[id];
        switch (node.kind) {
        case Kind::Dictionary: tableOffset += markerSize(node.count / 2) + node.count * refSize; break;
        case Kind::Array: tableOffset += markerSize(node.count) + node.count * refSize; break;
        case Kind::String:
        case Kind::Key:
        case Kind::Data: tableOffset += markerSize(node.bytes.size()) + node.bytes.size(); break;
        case Kind::Integer:
        case Kind::UID: tableOffset += 1 + integerSize(node.number); break;
        case Kind::Real: tableOffset += fitsFloat(node.number) ? 5 : 9; break;
        case Kind::Bool: tableOffset += 1; break;
        }
    }
    const size_t offsetSize = exactSize(tableOffset);
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    out.resize(tableOffset + t.objects.size() * offsetSize + 32);
    uint8_t *const start = out.data();
    uint8_t *p = start + 8;
    uint8_t *offsets = start + tableOffset;
    for (NodeId id : t.objects) {
        const Node &node = t.nodes[id];
        putBigEndian(offsets, static_cast<uint64_t>(p - start), offsetSize);
        switch (node.kind) {
        case Kind::Dictionary:
            putMarker(p, 0xD0, node.count / 2);
            for (uint32_t item = node.firstItem; item != kNone; item = t.items[t.items[item].next].next)
                putBigEndian(p, t.objectOf[t.items[item].node], refSize);
            for (uint32_t item = node.firstItem; item != kNone; item = t.items[t.items[item].next].next)
                putBigEndian(p, t.objectOf[t.items[t.items[item].next].node], refSize);
            break;
        case Kind::Array:
            putMarker(p, 0xA0, node.count);
            for (uint32_t item = node.firstItem; item != kNone; item = t.items[item].next)
                putBigEndian(p, t.objectOf[t.items[item].node], refSize);
            break;
        case Kind::String:
        case Kind::Key:
            putMarker(p, 0x50, node.bytes.size());
            putBytes(p, node.bytes);
            break;
        case Kind::Data:
            putMarker(p, 0x40, node.bytes.size());
            putBytes(p, node.bytes);
            break;
        case Kind::Integer: putInteger(p, node.number); break;
        case Kind::UID:
            *p++ = static_cast<uint8_t>(0x80 | (integerSize(node.number) - 1));
            putBigEndian(p, node.number, integerSize(node.number));
            break;
        case Kind::Real:
            if (fitsFloat(node.number)) {
                *p++ = 0x22;
                putBigEndian(p, std::bit_cast<uint32_t>(static_cast<float>(std::bit_cast<double>(node.number))), 4);
            } else {
                *p++ = 0x23;
                putBigEndian(p, node.number, 8);
            }
            break;
        case Kind::Bool: *p++ = node.number ? 0x09 : 0x08; break;
        }
    }
    // The trailer: six unused bytes, the two sizes, the object count, the
    // top object and the offset table's place.
    p = offsets + 6;
    *p++ = static_cast<uint8_t>(offsetSize);
    *p++ = static_cast<uint8_t>(refSize);
    putBigEndian(p, t.objects.size(), 8);
    putBigEndian(p, 0, 8);
    putBigEndian(p, tableOffset, 8);
    return out;
}

plist_t BinaryPlistWriter::toLibplist(NodeId id) const {
    const Tables &t = *tables_;
    const Node &node = t.nodes[id];
    switch (node.kind) {
    case Kind::Dictionary: {
        plist_t dict = plist_new_dict();
        for (uint32_t item = node.firstItem; item != kNone; item = t.items[t.items[item].next].next) {
            plist_dict_set_item(dict, std::string(t.nodes[t.items[item].node].bytes).c_str(),
                                toLibplist(t.items[t.items[item].next].node));
        }
        return dict;
    }
    case Kind::Array: {
        plist_t array = plist_new_array();
        for (uint32_t item = node.firstItem; item != kNone; item = t.items[item].next)
            plist_array_append_item(array, toLibplist(t.items[item].node));
        return array;
    }
    case Kind::String:
    case Kind::Key: return plist_new_string(std::string(node.bytes).c_str());
    case Kind::Integer: return plist_new_uint(node.number);
    case Kind::UID: return plist_new_uid(node.number);
    case Kind::Real: return plist_new_real(std::bit_cast<double>(node.number));
    case Kind::Bool: return plist_new_bool(node.number ? 1 : 0);
    case Kind::Data: return plist_new_data(node.bytes.data(), node.bytes.size());
    }
    return plist_new_dict();
}

std::optional<Data> BinaryPlistWriter::writeWithLibplist(NodeId root) const {
    if (root >= tables_->nodes.size()) return std::nullopt;
    return PlistNode(toLibplist(root)).toBinary();
}

}  // namespace platform
