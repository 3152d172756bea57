#pragma once
// Reads keyed archives (the layout KeyedArchiver writes, and Foundation's).
// Only the built-in Foundation classes (NSArray, NSDictionary, NSString,
// NSDate, NSUUID, NSData and their mutable forms) and classes registered
// with registerClass are created; an archive that names any other class,
// holds a field of the wrong type, a reference out of range, a cycle, or is
// not a keyed archive at all fails with an error. Nothing is thrown.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/PlistNode.h"
#include "platform/foundation/Value.h"

namespace platform {

class KeyedUnarchiver {
public:
    // Makes an object from the fields of the current archived object, or
    // answers nullptr to refuse it (the decode then fails).
    using Decoder = std::function<std::shared_ptr<Object>(KeyedUnarchiver &)>;

    // Process-wide class registry: archives naming `className` decode with
    // the decoder. Registering a name again replaces its decoder; the
    // built-in Foundation names cannot be taken over.
    static void registerClass(const std::string &className, Decoder decoder);
    // Process-wide rename: objects archived under `codedName` decode as the
    // registered class `className` (setClass:forClassName:).
    static void setClass(const std::string &className, const std::string &codedName);

    // Reads the archive's frame; nullptr with an error when the data is not
    // a keyed archive.
    static std::shared_ptr<KeyedUnarchiver> make(const Data &data, ErrorPtr *error = nullptr);
    // The value archived under "root" (KeyedArchiver's root key), decoded
    // with the process-wide renames; nullopt with an error on failure. A
    // nil root decodes to a null Value.
    static std::optional<Value> unarchiveTopLevelObjectWithData(const Data &data, ErrorPtr *error = nullptr);

    // A rename for this unarchiver only; it wins over the process-wide one.
    void instanceSetClass(const std::string &className, const std::string &codedName);
    // Decodes the value under a key of the archive's top level; nullopt with
    // an error on failure, a null Value when the key is absent or nil.
    std::optional<Value> decodeTopLevelObjectForKey(const std::string &key, ErrorPtr *error = nullptr);

    // --- Within a decoder: the fields of the object being decoded. ---
    bool containsValueForKey(const std::string &key) const;
    // The field as a value (nested objects decoded); null when absent.
    Value decodeObjectForKey(const std::string &key);
    // Scalars: absent gives false / 0; a non-number is a type error.
    bool decodeBoolForKey(const std::string &key);
    int32_t decodeInt32ForKey(const std::string &key);
    int64_t decodeInt64ForKey(const std::string &key);
    double decodeDoubleForKey(const std::string &key);
    // Typed objects: nullopt when absent or nil; a value of another type is
    // a type error (recorded; the decode fails) and also answers nullopt.
    std::optional<std::string> decodeStringForKey(const std::string &key);
    std::optional<Date> decodeDateForKey(const std::string &key);
    std::optional<UUID> decodeUUIDForKey(const std::string &key);
    std::optional<Data> decodeDataForKey(const std::string &key);
    std::optional<Array> decodeArrayForKey(const std::string &key);
    std::optional<Dictionary> decodeDictionaryForKey(const std::string &key);
    // A dictionary whose values must all be strings.
    std::optional<std::map<std::string, std::string>> decodeStringDictionaryForKey(const std::string &key);
    // A number (bool, integer or real) kept as the Value it was archived as.
    std::optional<Value> decodeNumberForKey(const std::string &key);

    // An object of class T (or a subclass); nullptr when absent or nil, a
    // type error for anything else.
    template <typename T>
    std::shared_ptr<T> decodeObjectOfClassForKey(const std::string &key) {
        Value v = decodeObjectForKey(key);
        if (v.isNull()) return nullptr;
        auto typed = std::dynamic_pointer_cast<T>(v.object());
        if (!typed) typeMismatch(key, "an object of the expected class", v);
        return typed;
    }
    // An array whose members are all objects of class T.
    template <typename T>
    std::optional<std::vector<std::shared_ptr<T>>> decodeArrayOfObjectsOfClassForKey(const std::string &key) {
        auto array = decodeArrayForKey(key);
        if (!array) return std::nullopt;
        std::vector<std::shared_ptr<T>> result;
        for (const auto &item : *array) {
            auto typed = std::dynamic_pointer_cast<T>(item.object());
            if (!typed) {
                typeMismatch(key, "an array of objects of the expected class", item);
                return std::nullopt;
            }
            result.push_back(std::move(typed));
        }
        return result;
    }

    // Refuses the archive from inside a decoder. The first error is kept.
    void failWithError(ErrorPtr error);
    void failWithReason(const std::string &reason);
    const ErrorPtr &error() const { return error_; }

private:
    KeyedUnarchiver() = default;

    struct Cached {
        Value value;
        size_t nodes;
        size_t height;  // levels of nesting of the value, 1 for a scalar
    };

    plist_t entry(const std::string &key) const;
    std::optional<Value> decodeEntry(plist_t node, const std::string &key);
    std::optional<Value> decodeReference(uint64_t uid);
    std::optional<Value> decodeInstance(uint64_t uid, plist_t dict);
    std::optional<std::string> className(plist_t dict);
    std::optional<Value> decodeBuiltin(const std::string &className, plist_t dict, bool &handled);
    std::optional<std::vector<uint64_t>> references(plist_t dict, const char *key);
    std::optional<Value> decodeScalar(const std::string &key);
    void typeMismatch(const std::string &key, const std::string &expected, const Value &found);
    bool charge(size_t nodes);

    PlistNode root_;
    std::vector<plist_t> objects_;
    plist_t top_ = nullptr;
    plist_t current_ = nullptr;  // the dictionary of the object being decoded
    std::map<std::string, std::string> renames_;
    std::map<uint64_t, Cached> decoded_;
    std::map<uint64_t, std::string> classNames_;
    std::set<uint64_t> inProgress_;
    int depth_ = 0;
    size_t childHeight_ = 0;  // the tallest value decoded so far for the current object
    size_t budget_ = 0;       // values the decode may still create
    ErrorPtr error_;
};

}  // namespace platform
