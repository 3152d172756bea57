#pragma once
// A property-list tree built in flat tables and written as a binary property
// list byte for byte as libplist's plist_to_bin writes it: the objects in
// preorder, equal strings, keys, integers, UIDs, reals and booleans written
// once (keys and strings apart), integer and reference sizes as libplist
// chooses them. It writes without building libplist's node tree and its hash
// tables, which made keyed archiving cost several times the row insert of a
// stored log. Building allocates nothing per node: nodes, their items and
// their bytes go to tables that a writer hands on to the next writer of its
// thread when it is destroyed, so that archiving log after log reuses them.
// A tree with anything outside what it writes itself (text other than ASCII,
// reals that are not finite, UIDs beyond 32 bits, more than 65535 objects)
// is handed to libplist instead. Internal to platform/foundation.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <plist/plist.h>

#include "platform/foundation/Value.h"

namespace platform {

class BinaryPlistWriter {
public:
    using NodeId = uint32_t;

    // A hash of a text's length and every one of its bytes.
    struct TextHash {
        size_t operator()(std::string_view text) const;
    };

    BinaryPlistWriter();
    ~BinaryPlistWriter();
    BinaryPlistWriter(const BinaryPlistWriter &) = delete;
    BinaryPlistWriter &operator=(const BinaryPlistWriter &) = delete;

    NodeId newDictionary();
    NodeId newArray();
    // The text must be storable (PlistNode::isStorableText). A caller that
    // hashed the text already (TextHash) passes its hash.
    NodeId newString(std::string_view text);
    NodeId newString(std::string_view text, size_t hash);
    NodeId newInteger(uint64_t value);
    NodeId newUID(uint64_t value);
    NodeId newReal(double value);
    NodeId newBool(bool value);
    NodeId newData(const Data &data);
    NodeId newData(const uint8_t *bytes, size_t size);

    // The bytes of a string or data node; they stay where they are for the
    // writer's life.
    std::string_view bytesOf(NodeId id) const;
    // The TextHash of a string node's text, kept since it was made.
    size_t textHashOf(NodeId id) const;

    // Sets the key of a dictionary; an existing key keeps its place and
    // takes the new value, as plist_dict_set_item does. The key must be
    // storable text.
    void setItem(NodeId dictionary, std::string_view key, NodeId value);
    void appendItem(NodeId array, NodeId value);

    // The tree under `root` as a binary property list.
    std::optional<Data> write(NodeId root) const;
    // The same through libplist (the oracle of the tests, and the path for
    // trees the writer leaves to libplist).
    std::optional<Data> writeWithLibplist(NodeId root) const;

private:
    enum class Kind : uint8_t { Dictionary, Array, String, Key, Integer, UID, Real, Bool, Data };
    static constexpr uint32_t kNone = UINT32_MAX;
    struct Node {
        Kind kind;
        bool needsLibplist = false;  // text beyond ASCII, a real not finite, a UID beyond 32 bits
        uint32_t count = 0;          // items: array elements, or a dictionary's keys and values
        uint64_t number = 0;         // integer, UID, real bits, bool; a text's hash
        std::string_view bytes;      // string, key, data
        // The items as a list in the item table.
        uint32_t firstItem = kNone;
        uint32_t lastItem = kNone;
    };
    struct Item {
        NodeId node;
        uint32_t next;
    };
    struct Tables;

    static std::unique_ptr<Tables> &spareTables();
    NodeId add(Kind kind, uint64_t number = 0, std::string_view bytes = {});
    std::string_view keep(std::string_view bytes);
    void append(NodeId parent, NodeId child);
    plist_t toLibplist(NodeId id) const;

    std::unique_ptr<Tables> tables_;
};

}  // namespace platform
