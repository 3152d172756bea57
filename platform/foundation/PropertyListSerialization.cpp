#include "platform/foundation/PropertyListSerialization.h"

#include <cmath>

#include "platform/foundation/BinaryPropertyListWriter.h"
#include "platform/foundation/PlistNode.h"

namespace platform {

namespace {

// Deeper nesting than this is refused, so that converting never runs the
// stack out.
constexpr int kMaxDepth = 512;

ErrorPtr plistError(int64_t code, const std::string &reason) {
    return Error::make(kCocoaErrorDomain, code, Dictionary{{kLocalizedDescriptionKey, Value(reason)}});
}

// 3851: NSPropertyListWriteInvalidError; 3840: NSPropertyListReadCorruptError.
constexpr int64_t kWriteInvalid = 3851;
constexpr int64_t kReadCorrupt = 3840;

PlistNode toNode(const Value &v, int depth, std::string &reason) {
    if (depth > kMaxDepth) {
        reason = "The property list nests too deeply.";
        return PlistNode();
    }
    switch (v.type()) {
    case Value::Type::Bool: return PlistNode(plist_new_bool(*v.boolValue() ? 1 : 0));
    case Value::Type::Integer: return PlistNode(plist_new_uint(static_cast<uint64_t>(*v.int64Value())));
    case Value::Type::Real: {
        double d = *v.doubleValue();
        return PlistNode(plist_new_real(d));
    }
    case Value::Type::String: {
        auto node = PlistNode::newString(*v.string());
        if (!node) {
            reason = "A string is not UTF-8 text or holds a NUL character.";
            return PlistNode();
        }
        return PlistNode(*node);
    }
    case Value::Type::Data: return PlistNode(PlistNode::newData(*v.data()));
    case Value::Type::Date: {
        auto node = PlistNode::newDate(*v.date());
        if (!node) {
            reason = "A date lies outside the range a property list can hold.";
            return PlistNode();
        }
        return PlistNode(*node);
    }
    case Value::Type::Array: {
        PlistNode array(plist_new_array());
        for (const auto &item : *v.array()) {
            PlistNode child = toNode(item, depth + 1, reason);
            if (!child) return PlistNode();
            plist_array_append_item(array.get(), child.release());
        }
        return array;
    }
    case Value::Type::Dictionary: {
        PlistNode dict(plist_new_dict());
        for (const auto &[key, item] : *v.dictionary()) {
            if (!PlistNode::isStorableText(key)) {
                reason = "A dictionary key is not UTF-8 text or holds a NUL character.";
                return PlistNode();
            }
            PlistNode child = toNode(item, depth + 1, reason);
            if (!child) return PlistNode();
            plist_dict_set_item(dict.get(), key.c_str(), child.release());
        }
        return dict;
    }
    case Value::Type::Null: reason = "nil is not a property-list value."; return PlistNode();
    case Value::Type::UUID: reason = "A UUID is not a property-list value."; return PlistNode();
    case Value::Type::Object:
        reason = "An object of class " + v.object()->className() + " is not a property-list value.";
        return PlistNode();
    }
    reason = "Unknown value type.";
    return PlistNode();
}

std::optional<Value> fromNode(plist_t node, int depth, std::string &reason) {
    if (depth > kMaxDepth) {
        reason = "The property list nests too deeply.";
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN:
    case PLIST_UINT:
    case PLIST_REAL:
    case PLIST_STRING: return PlistNode::scalarValue(node);
    case PLIST_DATA: return Value(*PlistNode::dataValue(node));
    case PLIST_DATE: {
        // A date the writer could not hold is refused here too, so whatever
        // is read can be written back.
        const Date date = PlistNode::dateValue(node);
        auto check = PlistNode::newDate(date);
        if (!check) {
            reason = "A date lies outside the range a property list can hold.";
            return std::nullopt;
        }
        plist_free(*check);
        return Value(date);
    }
    case PLIST_ARRAY: {
        Array array;
        auto elements = PlistNode::arrayElements(node);
        for (plist_t item : *elements) {
            auto v = fromNode(item, depth + 1, reason);
            if (!v) return std::nullopt;
            array.push_back(std::move(*v));
        }
        return Value(std::move(array));
    }
    case PLIST_DICT: {
        Dictionary dict;
        auto entries = PlistNode::dictionaryEntries(node);
        for (auto &[key, item] : *entries) {
            auto v = fromNode(item, depth + 1, reason);
            if (!v) return std::nullopt;
            dict[key] = std::move(*v);
        }
        return Value(std::move(dict));
    }
    case PLIST_UID: reason = "The property list holds a keyed-archive reference."; return std::nullopt;
    default: reason = "The property list holds an unknown node."; return std::nullopt;
    }
}

}  // namespace

std::optional<Data> PropertyListSerialization::dataWithPropertyList(const Value &plist, Format format,
                                                                    ErrorPtr *error) {
    std::string reason;
    if (format == Format::Binary) {
        // Our own writer: libplist's costs the square of a large dictionary.
        auto data = BinaryPropertyListWriter::dataWithPropertyList(plist, kMaxDepth, reason);
        if (!data && error) *error = plistError(kWriteInvalid, "Property list invalid for format: " + reason);
        return data;
    }
    PlistNode node = toNode(plist, 0, reason);
    if (!node) {
        if (error) *error = plistError(kWriteInvalid, "Property list invalid for format: " + reason);
        return std::nullopt;
    }
    auto data = format == Format::Binary ? node.toBinary() : node.toXML();
    if (!data) {
        if (error) *error = plistError(kWriteInvalid, "The property list could not be written.");
        return std::nullopt;
    }
    return data;
}

std::optional<Value> PropertyListSerialization::propertyListWithData(const Data &data, ErrorPtr *error) {
    PlistNode node = PlistNode::parse(data);
    if (!node) {
        if (error) *error = plistError(kReadCorrupt, "The data is not a property list.");
        return std::nullopt;
    }
    std::string reason;
    auto v = fromNode(node.get(), 0, reason);
    if (!v) {
        if (error) *error = plistError(kReadCorrupt, "The property list could not be read: " + reason);
        return std::nullopt;
    }
    return v;
}

bool PropertyListSerialization::isValidPropertyList(const Value &plist) {
    std::string reason;
    return static_cast<bool>(toNode(plist, 0, reason));
}

}  // namespace platform
