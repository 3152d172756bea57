#pragma once
// Owns one libplist node tree (freed with it) and offers the few typed reads
// that the property-list readers share. Internal to platform/foundation.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <plist/plist.h>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

class PlistNode {
public:
    PlistNode() = default;
    explicit PlistNode(plist_t node) : node_(node) {}
    ~PlistNode() {
        if (node_) plist_free(node_);
    }
    PlistNode(PlistNode &&o) noexcept : node_(o.node_) { o.node_ = nullptr; }
    PlistNode &operator=(PlistNode &&o) noexcept {
        if (this != &o) {
            if (node_) plist_free(node_);
            node_ = o.node_;
            o.node_ = nullptr;
        }
        return *this;
    }
    PlistNode(const PlistNode &) = delete;
    PlistNode &operator=(const PlistNode &) = delete;

    plist_t get() const { return node_; }
    explicit operator bool() const { return node_ != nullptr; }
    // Gives up ownership (the node was handed to a container).
    plist_t release() {
        plist_t n = node_;
        node_ = nullptr;
        return n;
    }

    // Parses binary or XML bytes; an empty node for anything unreadable.
    static PlistNode parse(const Data &bytes);
    // The tree as a binary (or XML) property list; nullopt when libplist fails.
    std::optional<Data> toBinary() const;
    std::optional<Data> toXML() const;

    // Typed reads of a node (null or another type answers nullopt).
    static std::optional<std::string> stringValue(plist_t node);
    // A boolean, integer, real or string node as a Value; nullopt for any
    // other kind of node.
    static std::optional<Value> scalarValue(plist_t node);
    static std::optional<Data> dataValue(plist_t node);
    static std::optional<uint64_t> uidValue(plist_t node);
    // The members of an array node, in order (nullopt when not an array).
    static std::optional<std::vector<plist_t>> arrayElements(plist_t node);
    // The entries of a dictionary node (nullopt when not a dictionary).
    static std::optional<std::vector<std::pair<std::string, plist_t>>> dictionaryEntries(plist_t node);

    // Dates as libplist keeps them: whole seconds since 2001 (32-bit) plus
    // microseconds. nullopt when the date is out of that range.
    static std::optional<plist_t> newDate(const Date &date);
    static Date dateValue(plist_t node);

    // A new string node, refusing texts that are not storable.
    static std::optional<plist_t> newString(const std::string &text);
    // Whether the text can be written as a string or a key: well-formed
    // UTF-8 (libplist's binary writer would turn anything else into UTF-16
    // that no reader accepts) without NUL (libplist strings are C strings
    // and would silently lose the rest).
    static bool isStorableText(std::string_view text);
    // The text read from a list made storable: ill-formed UTF-8 and NUL
    // become U+FFFD, so that whatever was read can be written back.
    static std::string storableText(std::string_view text);
    static plist_t newData(const Data &data);

private:
    plist_t node_ = nullptr;
};

}  // namespace platform
