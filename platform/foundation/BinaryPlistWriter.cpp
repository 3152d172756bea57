#include "platform/foundation/BinaryPlistWriter.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "platform/foundation/PlistNode.h"

namespace platform {

namespace {

// libplist writes at most this many objects with two-byte references; the
// writer leaves larger trees to it.
constexpr size_t kMaxObjects = 0xFFFF;

void appendBigEndian(Data &out, uint64_t value, size_t size) {
    for (size_t i = size; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

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

void appendInteger(Data &out, uint64_t value) {
    const size_t size = integerSize(value);
    out.push_back(static_cast<uint8_t>(0x10 | std::countr_zero(size)));
    appendBigEndian(out, value, size);
}

// A marker with the count in its low nibble, or 0xF and the count as an
// integer object after it.
void appendMarker(Data &out, uint8_t marker, uint64_t count) {
    if (count < 15) {
        out.push_back(static_cast<uint8_t>(marker | count));
    } else {
        out.push_back(static_cast<uint8_t>(marker | 0x0F));
        appendInteger(out, count);
    }
}

bool isASCII(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

}  // namespace

BinaryPlistWriter::NodeId BinaryPlistWriter::add(Kind kind, uint64_t number, std::string bytes) {
    nodes_.push_back(Node{kind, number, std::move(bytes), {}});
    return static_cast<NodeId>(nodes_.size() - 1);
}

BinaryPlistWriter::NodeId BinaryPlistWriter::newDictionary() { return add(Kind::Dictionary); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newArray() { return add(Kind::Array); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newString(std::string_view text) {
    return add(Kind::String, 0, std::string(text));
}
BinaryPlistWriter::NodeId BinaryPlistWriter::newInteger(uint64_t value) { return add(Kind::Integer, value); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newUID(uint64_t value) { return add(Kind::UID, value); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newReal(double value) {
    return add(Kind::Real, std::bit_cast<uint64_t>(value));
}
BinaryPlistWriter::NodeId BinaryPlistWriter::newBool(bool value) { return add(Kind::Bool, value ? 1 : 0); }
BinaryPlistWriter::NodeId BinaryPlistWriter::newData(const Data &data) {
    return add(Kind::Data, 0, std::string(data.begin(), data.end()));
}

void BinaryPlistWriter::setItem(NodeId dictionary, std::string_view key, NodeId value) {
    auto &children = nodes_[dictionary].children;
    for (size_t i = 0; i + 1 < children.size(); i += 2) {
        if (nodes_[children[i]].bytes == key) {
            children[i + 1] = value;
            return;
        }
    }
    const NodeId keyNode = add(Kind::Key, 0, std::string(key));
    // add() may have moved the table.
    auto &grown = nodes_[dictionary].children;
    grown.push_back(keyNode);
    grown.push_back(value);
}

void BinaryPlistWriter::appendItem(NodeId array, NodeId value) { nodes_[array].children.push_back(value); }

bool BinaryPlistWriter::nodeNeedsLibplist(NodeId id) const {
    const Node &node = nodes_[id];
    switch (node.kind) {
    case Kind::String:
    case Kind::Key: return !isASCII(node.bytes);
    case Kind::Real: return !std::isfinite(std::bit_cast<double>(node.number));
    case Kind::UID: return node.number > std::numeric_limits<uint32_t>::max();
    default: return false;
    }
}

std::optional<Data> BinaryPlistWriter::write(NodeId root) const {
    if (root >= nodes_.size()) return std::nullopt;

    // Object numbers in preorder; an equal scalar met before is not written
    // again. Dictionaries and arrays are never shared.
    std::vector<uint32_t> objectOf(nodes_.size(), 0);
    std::vector<NodeId> objects;
    objects.reserve(nodes_.size());
    std::unordered_map<uint64_t, uint32_t> numbers[4];
    std::unordered_map<std::string_view, uint32_t> texts[2];
    for (auto &table : texts) table.reserve(nodes_.size());
    std::vector<NodeId> pending{root};
    size_t payload = 0;
    while (!pending.empty()) {
        const NodeId id = pending.back();
        pending.pop_back();
        const Node &node = nodes_[id];
        if (nodeNeedsLibplist(id)) return writeWithLibplist(root);
        const uint32_t next = static_cast<uint32_t>(objects.size());
        bool added = true;
        switch (node.kind) {
        case Kind::Integer:
        case Kind::UID:
        case Kind::Real:
        case Kind::Bool: {
            const size_t table = node.kind == Kind::Integer ? 0
                                 : node.kind == Kind::UID   ? 1
                                 : node.kind == Kind::Real  ? 2
                                                            : 3;
            auto [it, inserted] = numbers[table].emplace(node.number, next);
            objectOf[id] = it->second;
            added = inserted;
            break;
        }
        case Kind::String:
        case Kind::Key: {
            auto [it, inserted] = texts[node.kind == Kind::Key ? 1 : 0].emplace(node.bytes, next);
            objectOf[id] = it->second;
            added = inserted;
            break;
        }
        default: objectOf[id] = next; break;
        }
        if (!added) continue;
        if (objects.size() == kMaxObjects) return writeWithLibplist(root);
        objects.push_back(id);
        payload += node.bytes.size() + node.children.size() * 2 + 10;
        for (size_t i = node.children.size(); i-- > 0;) pending.push_back(node.children[i]);
    }

    const size_t refSize = exactSize(objects.size());
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    out.reserve(8 + payload + objects.size() * 3 + 32);
    std::vector<uint64_t> offsets;
    offsets.reserve(objects.size());
    for (NodeId id : objects) {
        const Node &node = nodes_[id];
        offsets.push_back(out.size());
        switch (node.kind) {
        case Kind::Dictionary: {
            const size_t count = node.children.size() / 2;
            appendMarker(out, 0xD0, count);
            for (size_t i = 0; i < count; ++i) appendBigEndian(out, objectOf[node.children[2 * i]], refSize);
            for (size_t i = 0; i < count; ++i) appendBigEndian(out, objectOf[node.children[2 * i + 1]], refSize);
            break;
        }
        case Kind::Array:
            appendMarker(out, 0xA0, node.children.size());
            for (NodeId child : node.children) appendBigEndian(out, objectOf[child], refSize);
            break;
        case Kind::String:
        case Kind::Key:
            appendMarker(out, 0x50, node.bytes.size());
            out.insert(out.end(), node.bytes.begin(), node.bytes.end());
            break;
        case Kind::Data:
            appendMarker(out, 0x40, node.bytes.size());
            out.insert(out.end(), node.bytes.begin(), node.bytes.end());
            break;
        case Kind::Integer: appendInteger(out, node.number); break;
        case Kind::UID: {
            const size_t size = integerSize(node.number);
            out.push_back(static_cast<uint8_t>(0x80 | (size - 1)));
            appendBigEndian(out, node.number, size);
            break;
        }
        case Kind::Real: {
            // Four bytes when a float holds the value exactly.
            const double value = std::bit_cast<double>(node.number);
            const float narrow = static_cast<float>(value);
            if (static_cast<double>(narrow) == value) {
                out.push_back(0x22);
                appendBigEndian(out, std::bit_cast<uint32_t>(narrow), 4);
            } else {
                out.push_back(0x23);
                appendBigEndian(out, node.number, 8);
            }
            break;
        }
        case Kind::Bool: out.push_back(node.number ? 0x09 : 0x08); break;
        }
    }
    const uint64_t tableOffset = out.size();
    const size_t offsetSize = exactSize(tableOffset);
    for (uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<uint8_t>(offsetSize));
    out.push_back(static_cast<uint8_t>(refSize));
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
}

plist_t BinaryPlistWriter::toLibplist(NodeId id) const {
    const Node &node = nodes_[id];
    switch (node.kind) {
    case Kind::Dictionary: {
        plist_t dict = plist_new_dict();
        for (size_t i = 0; i + 1 < node.children.size(); i += 2)
            plist_dict_set_item(dict, nodes_[node.children[i]].bytes.c_str(), toLibplist(node.children[i + 1]));
        return dict;
    }
    case Kind::Array: {
        plist_t array = plist_new_array();
        for (NodeId child : node.children) plist_array_append_item(array, toLibplist(child));
        return array;
    }
    case Kind::String:
    case Kind::Key: return plist_new_string(node.bytes.c_str());
    case Kind::Integer: return plist_new_uint(node.number);
    case Kind::UID: return plist_new_uid(node.number);
    case Kind::Real: return plist_new_real(std::bit_cast<double>(node.number));
    case Kind::Bool: return plist_new_bool(node.number ? 1 : 0);
    case Kind::Data: return plist_new_data(node.bytes.data(), node.bytes.size());
    }
    return plist_new_dict();
}

std::optional<Data> BinaryPlistWriter::writeWithLibplist(NodeId root) const {
    if (root >= nodes_.size()) return std::nullopt;
    return PlistNode(toLibplist(root)).toBinary();
}

}  // namespace platform
