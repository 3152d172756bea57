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
bool needsEscape(std::string_view key) { return !key.empty() && key[0] == '$'; }

}  // namespace

KeyedArchiver::KeyedArchiver() : top_(tree_.newDictionary()), current_(top_) {
    objects_.push_back(tree_.newString("$null"));
}

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const Value &root, ErrorPtr *error) {
    KeyedArchiver archiver;
    archiver.encodeObject(root, "root");
    return archiver.finishEncoding(error);
}

void KeyedArchiver::failWithError(ErrorPtr error) {
    if (!error_) error_ = error ? std::move(error) : encodeError("The archive could not be written.");
}

bool KeyedArchiver::usedAfterFinishing() {
    if (finished_) failWithError(encodeError("The archiver was used after it finished encoding."));
    return finished_;
}

void KeyedArchiver::setEntry(std::string_view key, Node node) {
    if (usedAfterFinishing()) return;
    if (!PlistNode::isStorableText(key)) {
        failWithError(encodeError("An archive key is not UTF-8 text or holds a NUL character."));
        return;
    }
    if (needsEscape(key)) {
        tree_.setItem(current_, "$" + std::string(key), node);
    } else {
        tree_.setItem(current_, key, node);
    }
}

void KeyedArchiver::encodeObject(const Value &value, std::string_view key) {
    if (usedAfterFinishing()) return;
    uint64_t uid = encodeValue(value);
    setEntry(key, tree_.newUID(uid));
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) { setEntry(key, tree_.newBool(value)); }

void KeyedArchiver::encodeInt32(int32_t value, std::string_view key) { encodeInt64(value, key); }

void KeyedArchiver::encodeInt64(int64_t value, std::string_view key) {
    // Negative values keep their two's complement bits: binary property
    // lists store 8-byte integers as signed.
    setEntry(key, tree_.newInteger(static_cast<uint64_t>(value)));
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) { setEntry(key, tree_.newReal(value)); }

uint64_t KeyedArchiver::appendObject(Node node) {
    objects_.push_back(node);
    return objects_.size() - 1;
}

KeyedArchiver::Node KeyedArchiver::newInstance(uint64_t &uid) {
    Node dict = tree_.newDictionary();
    uid = appendObject(dict);
    return dict;
}

uint64_t KeyedArchiver::classRecord(std::string_view className) {
    auto found = classes_.find(className);
    if (found != classes_.end()) return found->second;
    Node record = tree_.newDictionary();
    Node list = tree_.newArray();
    // Written up to a NUL, as the C strings libplist was given were.
    const std::string_view name = className.substr(0, className.find('\0'));
    tree_.appendItem(list, tree_.newString(name));
    tree_.appendItem(list, tree_.newString("NSObject"));
    tree_.setItem(record, "$classes", list);
    tree_.setItem(record, "$classname", tree_.newString(name));
    uint64_t uid = appendObject(record);
    classes_.emplace(className, uid);
    return uid;
}

uint64_t KeyedArchiver::encodeText(std::string_view text) {
    if (error_) return 0;
    const size_t hash = BinaryPlistWriter::TextHash()(text);
    size_t mask = strings_.size() - 1;
    size_t slot = hash & mask;
    for (; strings_[slot].uid != 0; slot = (slot + 1) & mask) {
        if (tree_.bytesOf(strings_[slot].node) == text) return strings_[slot].uid;
    }
    if (!PlistNode::isStorableText(text)) {
        failWithError(encodeError("A string is not UTF-8 text or holds a NUL character."));
        return 0;
    }
    const Node node = tree_.newString(text, hash);
    const uint64_t uid = appendObject(node);
    if (2 * (stringCount_ + 1) > strings_.size()) {
        std::vector<StringSlot> old(strings_.size() * 2);
        old.swap(strings_);
        mask = strings_.size() - 1;
        for (const auto &entry : old) {
            if (entry.uid == 0) continue;
            size_t at = tree_.textHashOf(entry.node) & mask;
            while (strings_[at].uid != 0) at = (at + 1) & mask;
            strings_[at] = entry;
        }
        for (slot = hash & mask; strings_[slot].uid != 0;) slot = (slot + 1) & mask;
    }
    strings_[slot] = {node, uid};
    ++stringCount_;
    return uid;
}

void KeyedArchiver::encodeString(const std::optional<std::string> &text, std::string_view key) {
    if (usedAfterFinishing()) return;
    setEntry(key, tree_.newUID(text ? encodeText(*text) : 0));
}

void KeyedArchiver::encodeStrings(const std::optional<std::vector<std::string>> &texts, std::string_view key) {
    if (usedAfterFinishing()) return;
    uint64_t uid = 0;
    if (texts && !error_) {
        // As an Array value of the texts is written.
        Node dict = newInstance(uid);
        Node list = tree_.newArray();
        tree_.setItem(dict, "NS.objects", list);
        for (const auto &text : *texts) tree_.appendItem(list, tree_.newUID(encodeText(text)));
        tree_.setItem(dict, "$class", tree_.newUID(classRecord("NSArray")));
    }
    setEntry(key, tree_.newUID(uid));
}

uint64_t KeyedArchiver::encodeValue(const Value &value) {
    if (error_) return 0;
    switch (value.type()) {
    case Value::Type::Null: return 0;
    case Value::Type::Bool: return appendObject(tree_.newBool(*value.boolValue()));
    case Value::Type::Integer: return appendObject(tree_.newInteger(static_cast<uint64_t>(*value.int64Value())));
    case Value::Type::Real: return appendObject(tree_.newReal(*value.doubleValue()));
    case Value::Type::String: return encodeText(*value.string());
    case Value::Type::Data: return appendObject(tree_.newData(*value.data()));
    case Value::Type::Date: {
        uint64_t uid;
        Node dict = newInstance(uid);
        tree_.setItem(dict, "NS.time", tree_.newReal(value.date()->timeIntervalSinceReferenceDate()));
        tree_.setItem(dict, "$class", tree_.newUID(classRecord("NSDate")));
        return uid;
    }
    case Value::Type::UUID: {
        uint64_t uid;
        Node dict = newInstance(uid);
        const auto &bytes = value.uuid()->bytes();
        tree_.setItem(dict, "NS.uuidbytes", tree_.newData(bytes.data(), bytes.size()));
        tree_.setItem(dict, "$class", tree_.newUID(classRecord("NSUUID")));
        return uid;
    }
    case Value::Type::Array: {
        uint64_t uid;
        Node dict = newInstance(uid);
        Node list = tree_.newArray();
        tree_.setItem(dict, "NS.objects", list);
        for (const auto &item : *value.array()) {
            const uint64_t itemUid = encodeValue(item);
            tree_.appendItem(list, tree_.newUID(itemUid));
        }
        tree_.setItem(dict, "$class", tree_.newUID(classRecord("NSArray")));
        return uid;
    }
    case Value::Type::Dictionary: {
        uint64_t uid;
        Node dict = newInstance(uid);
        Node keys = tree_.newArray();
        Node objects = tree_.newArray();
        tree_.setItem(dict, "NS.keys", keys);
        tree_.setItem(dict, "NS.objects", objects);
        for (const auto &[key, item] : *value.dictionary()) {
            const uint64_t keyUid = encodeValue(Value(key));
            tree_.appendItem(keys, tree_.newUID(keyUid));
            const uint64_t itemUid = encodeValue(item);
            tree_.appendItem(objects, tree_.newUID(itemUid));
        }
        tree_.setItem(dict, "$class", tree_.newUID(classRecord("NSDictionary")));
        return uid;
    }
    case Value::Type::Object: {
        // One reference taken, the one kept: an object's count may be
        // shared with other threads, each change a trip between cores.
        std::shared_ptr<Object> object = value.object();
        const Object *address = object.get();
        auto found = instances_.find(address);
        if (found != instances_.end()) return found->second;
        const auto *coding = dynamic_cast<const Coding *>(address);
        const std::string className = object->className();
        if (!coding) {
            failWithError(encodeError("An object of class " + className + " does not support keyed archiving."));
            return 0;
        }
        retained_.push_back(std::move(object));
        uint64_t uid;
        Node dict = newInstance(uid);
        // Registered before its fields, so an object that refers back to
        // itself is written as a reference instead of recursing forever.
        instances_[address] = uid;
        Node saved = current_;
        current_ = dict;
        try {
            coding->encodeWithCoder(*this);
        } catch (const std::exception &e) {
            failWithError(encodeError("Encoding an object of class " + className + " failed: " + e.what()));
        } catch (...) {
            failWithError(encodeError("Encoding an object of class " + className + " failed."));
        }
        current_ = saved;
        tree_.setItem(dict, "$class", tree_.newUID(classRecord(className)));
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
    Node root = tree_.newDictionary();
    tree_.setItem(root, "$version", tree_.newInteger(100000));
    tree_.setItem(root, "$archiver", tree_.newString("NSKeyedArchiver"));
    tree_.setItem(root, "$top", top_);
    Node list = tree_.newArray();
    for (Node node : objects_) tree_.appendItem(list, node);
    objects_.clear();
    tree_.setItem(root, "$objects", list);
    auto data = tree_.write(root);
    if (!data) {
        failWithError(encodeError("The archive could not be written as a property list."));
        if (error) *error = error_;
        return std::nullopt;
    }
    return data;
}

}  // namespace platform
