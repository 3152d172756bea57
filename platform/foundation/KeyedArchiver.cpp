#include "platform/foundation/KeyedArchiver.h"

#include <exception>

namespace platform {

namespace {

// NSCoderInvalidValueError.
constexpr int64_t kInvalidValue = 4866;

ErrorPtr encodeError(const std::string &reason) {
    return Error::make(kCocoaErrorDomain, kInvalidValue, Dictionary{{kLocalizedDescriptionKey, Value(reason)}});
}

// Keys that begin with "$" get one more "$", so they never collide with the
// archive's own "$class".
std::string escapeKey(const std::string &key) {
    return !key.empty() && key[0] == '$' ? "$" + key : key;
}

}  // namespace

KeyedArchiver::KeyedArchiver() : top_(plist_new_dict()), current_(top_.get()) {
    objects_.emplace_back(plist_new_string("$null"));
}

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const Value &root, ErrorPtr *error) {
    KeyedArchiver archiver;
    archiver.encodeObject(root, "root");
    return archiver.finishEncoding(error);
}

void KeyedArchiver::failWithError(ErrorPtr error) {
    if (!error_) error_ = error ? std::move(error) : encodeError("The archive could not be written.");
}

void KeyedArchiver::setEntry(const std::string &key, plist_t node) {
    if (finished_) {
        plist_free(node);
        failWithError(encodeError("The archiver was used after it finished encoding."));
        return;
    }
    if (!PlistNode::isStorableText(key)) {
        plist_free(node);
        failWithError(encodeError("An archive key is not UTF-8 text or holds a NUL character."));
        return;
    }
    plist_dict_set_item(current_, escapeKey(key).c_str(), node);
}

void KeyedArchiver::encodeObject(const Value &value, const std::string &key) {
    if (finished_) {
        failWithError(encodeError("The archiver was used after it finished encoding."));
        return;
    }
    uint64_t uid = encodeValue(value);
    setEntry(key, plist_new_uid(uid));
}

void KeyedArchiver::encodeBool(bool value, const std::string &key) { setEntry(key, plist_new_bool(value ? 1 : 0)); }

void KeyedArchiver::encodeInt32(int32_t value, const std::string &key) { encodeInt64(value, key); }

void KeyedArchiver::encodeInt64(int64_t value, const std::string &key) {
    // Negative values keep their two's complement bits: binary property
    // lists store 8-byte integers as signed.
    setEntry(key, plist_new_uint(static_cast<uint64_t>(value)));
}

void KeyedArchiver::encodeDouble(double value, const std::string &key) { setEntry(key, plist_new_real(value)); }

uint64_t KeyedArchiver::appendObject(plist_t node) {
    objects_.emplace_back(node);
    return objects_.size() - 1;
}

plist_t KeyedArchiver::newInstance(uint64_t &uid) {
    plist_t dict = plist_new_dict();
    uid = appendObject(dict);
    return dict;
}

uint64_t KeyedArchiver::classRecord(const std::string &className, const std::vector<std::string> &classes) {
    auto found = classes_.find(className);
    if (found != classes_.end()) return found->second;
    plist_t record = plist_new_dict();
    plist_t list = plist_new_array();
    for (const auto &c : classes) plist_array_append_item(list, plist_new_string(c.c_str()));
    plist_dict_set_item(record, "$classes", list);
    plist_dict_set_item(record, "$classname", plist_new_string(className.c_str()));
    uint64_t uid = appendObject(record);
    classes_[className] = uid;
    return uid;
}

uint64_t KeyedArchiver::encodeValue(const Value &value) {
    if (error_) return 0;
    switch (value.type()) {
    case Value::Type::Null: return 0;
    case Value::Type::Bool: return appendObject(plist_new_bool(*value.boolValue() ? 1 : 0));
    case Value::Type::Integer: return appendObject(plist_new_uint(static_cast<uint64_t>(*value.int64Value())));
    case Value::Type::Real: return appendObject(plist_new_real(*value.doubleValue()));
    case Value::Type::String: {
        const std::string &s = *value.string();
        auto found = strings_.find(s);
        if (found != strings_.end()) return found->second;
        auto node = PlistNode::newString(s);
        if (!node) {
            failWithError(encodeError("A string is not UTF-8 text or holds a NUL character."));
            return 0;
        }
        uint64_t uid = appendObject(*node);
        strings_[s] = uid;
        return uid;
    }
    case Value::Type::Data: return appendObject(PlistNode::newData(*value.data()));
    case Value::Type::Date: {
        uint64_t uid;
        plist_t dict = newInstance(uid);
        plist_dict_set_item(dict, "NS.time", plist_new_real(value.date()->timeIntervalSinceReferenceDate()));
        plist_dict_set_item(dict, "$class", plist_new_uid(classRecord("NSDate", {"NSDate", "NSObject"})));
        return uid;
    }
    case Value::Type::UUID: {
        uint64_t uid;
        plist_t dict = newInstance(uid);
        const auto &bytes = value.uuid()->bytes();
        plist_dict_set_item(dict, "NS.uuidbytes",
                            plist_new_data(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
        plist_dict_set_item(dict, "$class", plist_new_uid(classRecord("NSUUID", {"NSUUID", "NSObject"})));
        return uid;
    }
    case Value::Type::Array: {
        uint64_t uid;
        plist_t dict = newInstance(uid);
        plist_t list = plist_new_array();
        plist_dict_set_item(dict, "NS.objects", list);
        for (const auto &item : *value.array()) plist_array_append_item(list, plist_new_uid(encodeValue(item)));
        plist_dict_set_item(dict, "$class", plist_new_uid(classRecord("NSArray", {"NSArray", "NSObject"})));
        return uid;
    }
    case Value::Type::Dictionary: {
        uint64_t uid;
        plist_t dict = newInstance(uid);
        plist_t keys = plist_new_array();
        plist_t objects = plist_new_array();
        plist_dict_set_item(dict, "NS.keys", keys);
        plist_dict_set_item(dict, "NS.objects", objects);
        for (const auto &[key, item] : *value.dictionary()) {
            plist_array_append_item(keys, plist_new_uid(encodeValue(Value(key))));
            plist_array_append_item(objects, plist_new_uid(encodeValue(item)));
        }
        plist_dict_set_item(dict, "$class",
                            plist_new_uid(classRecord("NSDictionary", {"NSDictionary", "NSObject"})));
        return uid;
    }
    case Value::Type::Object: {
        std::shared_ptr<Object> object = value.object();
        auto found = instances_.find(object.get());
        if (found != instances_.end()) return found->second;
        auto coding = std::dynamic_pointer_cast<const Coding>(object);
        const std::string className = object->className();
        if (!coding) {
            failWithError(encodeError("An object of class " + className + " does not support keyed archiving."));
            return 0;
        }
        retained_.push_back(object);
        uint64_t uid;
        plist_t dict = newInstance(uid);
        // Registered before its fields, so an object that refers back to
        // itself is written as a reference instead of recursing forever.
        instances_[object.get()] = uid;
        plist_t saved = current_;
        current_ = dict;
        try {
            coding->encodeWithCoder(*this);
        } catch (const std::exception &e) {
            failWithError(encodeError("Encoding an object of class " + className + " failed: " + e.what()));
        } catch (...) {
            failWithError(encodeError("Encoding an object of class " + className + " failed."));
        }
        current_ = saved;
        plist_dict_set_item(dict, "$class", plist_new_uid(classRecord(className, {className, "NSObject"})));
        return uid;
    }
    }
    return 0;
}

std::optional<Data> KeyedArchiver::finishEncoding(ErrorPtr *error) {
    if (finished_ && !error_) failWithError(encodeError("The archiver already finished encoding."));
    finished_ = true;
    if (error_) {
        if (error) *error = error_;
        return std::nullopt;
    }
    PlistNode root(plist_new_dict());
    plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
    plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(root.get(), "$top", top_.release());
    plist_t list = plist_new_array();
    for (auto &node : objects_) plist_array_append_item(list, node.release());
    objects_.clear();
    plist_dict_set_item(root.get(), "$objects", list);
    auto data = root.toBinary();
    if (!data) {
        failWithError(encodeError("The archive could not be written as a property list."));
        if (error) *error = error_;
        return std::nullopt;
    }
    return data;
}

}  // namespace platform
