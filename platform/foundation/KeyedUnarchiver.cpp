#include "platform/foundation/KeyedUnarchiver.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>

namespace platform {

namespace {

// NSCoderReadCorruptError.
constexpr int64_t kReadCorrupt = 4864;
// Nesting of objects, arrays and dictionaries beyond this is refused so that
// decoding cannot run out of stack.
constexpr int kMaxDepth = 200;
// Values a decode may create, beyond a few per archived object: shared
// arrays referenced many times would otherwise expand exponentially.
constexpr size_t kBaseBudget = size_t(1) << 20;

struct Registry {
    std::mutex mutex;
    std::map<std::string, KeyedUnarchiver::Decoder> decoders;
    std::map<std::string, std::string> renames;
};

// Never destroyed: worker threads may still decode while the process exits.
Registry &registry() {
    static auto *r = new Registry;
    return *r;
}

ErrorPtr corrupt(const std::string &reason) {
    // The reason goes into the description too, so that a log line of the
    // localized description says what was wrong.
    return Error::make(
        kCocoaErrorDomain, kReadCorrupt,
        Dictionary{{kLocalizedDescriptionKey,
                    Value("The data couldn't be read because it isn't in the correct format: " + reason)},
                   {kLocalizedFailureReasonKey, Value(reason)}});
}

// The key as stored: keys that begin with "$" carry one more "$".
std::string archivedKey(const std::string &key) { return !key.empty() && key[0] == '$' ? "$" + key : key; }

size_t countNodes(const Value &v) {
    size_t n = 1;
    if (const Array *a = v.array()) {
        for (const auto &item : *a) n += countNodes(item);
    } else if (const Dictionary *d = v.dictionary()) {
        for (const auto &[k, item] : *d) n += 1 + countNodes(item);
    }
    return n;
}

const char *typeName(const Value &v) {
    switch (v.type()) {
    case Value::Type::Null: return "nil";
    case Value::Type::Bool: return "a boolean";
    case Value::Type::Integer: return "an integer";
    case Value::Type::Real: return "a real";
    case Value::Type::String: return "a string";
    case Value::Type::Data: return "data";
    case Value::Type::Date: return "a date";
    case Value::Type::UUID: return "a UUID";
    case Value::Type::Array: return "an array";
    case Value::Type::Dictionary: return "a dictionary";
    case Value::Type::Object: return "an object";
    }
    return "a value";
}

}  // namespace

void KeyedUnarchiver::registerClass(const std::string &className, Decoder decoder) {
    auto &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.decoders[className] = std::move(decoder);
}

void KeyedUnarchiver::setClass(const std::string &className, const std::string &codedName) {
    auto &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.renames[codedName] = className;
}

void KeyedUnarchiver::instanceSetClass(const std::string &className, const std::string &codedName) {
    renames_[codedName] = className;
}

std::shared_ptr<KeyedUnarchiver> KeyedUnarchiver::make(const Data &data, ErrorPtr *error) {
    auto fail = [&](const std::string &reason) -> std::shared_ptr<KeyedUnarchiver> {
        if (error) *error = corrupt(reason);
        return nullptr;
    };
    std::shared_ptr<KeyedUnarchiver> u(new KeyedUnarchiver());
    u->root_ = PlistNode::parse(data);
    plist_t root = u->root_.get();
    if (!root) return fail("The data is not a property list.");
    if (plist_get_node_type(root) != PLIST_DICT) return fail("The archive is not a dictionary.");
    if (PlistNode::stringValue(plist_dict_get_item(root, "$archiver")) != std::optional<std::string>("NSKeyedArchiver"))
        return fail("The archive was not written by a keyed archiver.");
    plist_t version = plist_dict_get_item(root, "$version");
    if (!version || plist_get_node_type(version) != PLIST_UINT) return fail("The archive has no version.");
    uint64_t v = 0;
    plist_get_uint_val(version, &v);
    if (v != 100000) return fail("The archive's version " + std::to_string(v) + " is not supported.");
    u->top_ = plist_dict_get_item(root, "$top");
    if (!u->top_ || plist_get_node_type(u->top_) != PLIST_DICT) return fail("The archive has no top-level dictionary.");
    auto objects = PlistNode::arrayElements(plist_dict_get_item(root, "$objects"));
    if (!objects || objects->empty()) return fail("The archive has no object table.");
    if (PlistNode::stringValue(objects->front()) != std::optional<std::string>("$null"))
        return fail("The archive's object table does not start with $null.");
    u->objects_ = std::move(*objects);
    u->current_ = u->top_;
    u->budget_ = kBaseBudget + 4 * u->objects_.size();
    return u;
}

std::optional<Value> KeyedUnarchiver::unarchiveTopLevelObjectWithData(const Data &data, ErrorPtr *error) {
    auto unarchiver = make(data, error);
    if (!unarchiver) return std::nullopt;
    return unarchiver->decodeTopLevelObjectForKey("root", error);
}

std::optional<Value> KeyedUnarchiver::decodeTopLevelObjectForKey(const std::string &key, ErrorPtr *error) {
    if (!error_) {
        plist_t saved = current_;
        current_ = top_;
        Value v = decodeObjectForKey(key);
        current_ = saved;
        if (!error_) return v;
    }
    if (error) *error = error_;
    return std::nullopt;
}

void KeyedUnarchiver::failWithError(ErrorPtr error) {
    if (!error_) error_ = error ? std::move(error) : corrupt("A decoder refused the archive.");
}

void KeyedUnarchiver::failWithReason(const std::string &reason) { failWithError(corrupt(reason)); }

void KeyedUnarchiver::typeMismatch(const std::string &key, const std::string &expected, const Value &found) {
    failWithReason("The value for key \"" + key + "\" should be " + expected + " but is " + typeName(found) +
                   (found.isObject() ? " of class " + found.object()->className() : std::string()) + ".");
}

bool KeyedUnarchiver::charge(size_t nodes) {
    if (nodes > budget_) {
        failWithReason("The archive expands to too many values.");
        return false;
    }
    budget_ -= nodes;
    return true;
}

plist_t KeyedUnarchiver::entry(const std::string &key) const {
    if (!current_) return nullptr;
    return plist_dict_get_item(current_, archivedKey(key).c_str());
}

bool KeyedUnarchiver::containsValueForKey(const std::string &key) const { return !error_ && entry(key) != nullptr; }

Value KeyedUnarchiver::decodeObjectForKey(const std::string &key) {
    if (error_) return Value();
    plist_t node = entry(key);
    if (!node) return Value();
    auto v = decodeEntry(node, key);
    return v ? std::move(*v) : Value();
}

// A field of an object: a reference to the object table, or a scalar that
// encodeBool / encodeInt64 / encodeDouble wrote in place.
std::optional<Value> KeyedUnarchiver::decodeEntry(plist_t node, const std::string &key) {
    switch (plist_get_node_type(node)) {
    case PLIST_UID: return decodeReference(*PlistNode::uidValue(node));
    case PLIST_BOOLEAN:
    case PLIST_UINT:
    case PLIST_REAL:
    case PLIST_STRING: return PlistNode::scalarValue(node);
    default:
        failWithReason("The value for key \"" + key + "\" is neither a reference nor a scalar.");
        return std::nullopt;
    }
}

std::optional<Value> KeyedUnarchiver::decodeReference(uint64_t uid) {
    if (error_) return std::nullopt;
    if (uid >= objects_.size()) {
        failWithReason("The archive refers to object " + std::to_string(uid) + " of " +
                       std::to_string(objects_.size()) + ".");
        return std::nullopt;
    }
    if (uid == 0) return Value();
    auto cached = decoded_.find(uid);
    if (cached != decoded_.end()) {
        // A value from the cache comes back whole: its own height counts
        // where it is placed, or chains of cached values would nest without
        // limit.
        if (static_cast<size_t>(depth_) + cached->second.height > static_cast<size_t>(kMaxDepth)) {
            failWithReason("The archive nests too deeply.");
            return std::nullopt;
        }
        if (!charge(cached->second.nodes)) return std::nullopt;
        childHeight_ = std::max(childHeight_, cached->second.height);
        return cached->second.value;
    }
    if (inProgress_.count(uid)) {
        failWithReason("The archive holds a cycle through object " + std::to_string(uid) + ".");
        return std::nullopt;
    }
    if (depth_ >= kMaxDepth) {
        failWithReason("The archive nests too deeply.");
        return std::nullopt;
    }
    if (!charge(1)) return std::nullopt;
    plist_t node = objects_[uid];
    std::optional<Value> result;
    const size_t outerHeight = childHeight_;
    childHeight_ = 0;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: result = Value(*PlistNode::stringValue(node)); break;
    case PLIST_DATA: result = Value(*PlistNode::dataValue(node)); break;
    case PLIST_BOOLEAN:
    case PLIST_UINT:
    case PLIST_REAL: result = decodeEntry(node, "#" + std::to_string(uid)); break;
    case PLIST_DICT: {
        inProgress_.insert(uid);
        ++depth_;
        result = decodeInstance(uid, node);
        --depth_;
        inProgress_.erase(uid);
        break;
    }
    default: failWithReason("Object " + std::to_string(uid) + " of the archive has an unexpected type."); break;
    }
    const size_t height = childHeight_ + 1;
    childHeight_ = std::max(outerHeight, height);
    if (error_ || !result) return std::nullopt;
    decoded_[uid] = Cached{*result, countNodes(*result), height};
    return result;
}

std::optional<std::string> KeyedUnarchiver::className(plist_t dict) {
    auto uid = PlistNode::uidValue(plist_dict_get_item(dict, "$class"));
    if (!uid || *uid == 0 || *uid >= objects_.size()) {
        failWithReason("An archived object has no valid class reference.");
        return std::nullopt;
    }
    auto known = classNames_.find(*uid);
    if (known != classNames_.end()) return known->second;
    plist_t record = objects_[*uid];
    auto name = plist_get_node_type(record) == PLIST_DICT
                    ? PlistNode::stringValue(plist_dict_get_item(record, "$classname"))
                    : std::nullopt;
    if (!name) {
        failWithReason("A class record of the archive has no class name.");
        return std::nullopt;
    }
    if (plist_t classes = plist_dict_get_item(record, "$classes")) {
        auto list = PlistNode::arrayElements(classes);
        bool ok = list.has_value();
        if (list) {
            for (plist_t c : *list) ok = ok && PlistNode::stringValue(c).has_value();
        }
        if (!ok) {
            failWithReason("The class record of " + *name + " has a malformed class list.");
            return std::nullopt;
        }
    }
    classNames_[*uid] = *name;
    return name;
}

std::optional<std::vector<uint64_t>> KeyedUnarchiver::references(plist_t dict, const char *key) {
    auto list = PlistNode::arrayElements(plist_dict_get_item(dict, key));
    if (!list) {
        failWithReason(std::string("A collection has no ") + key + " list.");
        return std::nullopt;
    }
    std::vector<uint64_t> uids;
    uids.reserve(list->size());
    for (plist_t item : *list) {
        auto uid = PlistNode::uidValue(item);
        if (!uid) {
            failWithReason(std::string("The ") + key + " list of a collection holds something other than references.");
            return std::nullopt;
        }
        uids.push_back(*uid);
    }
    return uids;
}

std::optional<Value> KeyedUnarchiver::decodeBuiltin(const std::string &name, plist_t dict, bool &handled) {
    handled = true;
    if (name == "NSArray" || name == "NSMutableArray") {
        auto uids = references(dict, "NS.objects");
        if (!uids) return std::nullopt;
        Array array;
        array.reserve(uids->size());
        for (uint64_t uid : *uids) {
            auto item = decodeReference(uid);
            if (!item) return std::nullopt;
            array.push_back(std::move(*item));
        }
        return Value(std::move(array));
    }
    if (name == "NSDictionary" || name == "NSMutableDictionary") {
        auto keys = references(dict, "NS.keys");
        if (!keys) return std::nullopt;
        auto values = references(dict, "NS.objects");
        if (!values) return std::nullopt;
        if (keys->size() != values->size()) {
            failWithReason("A dictionary has " + std::to_string(keys->size()) + " keys but " +
                           std::to_string(values->size()) + " values.");
            return std::nullopt;
        }
        Dictionary result;
        for (size_t i = 0; i < keys->size(); ++i) {
            auto key = decodeReference((*keys)[i]);
            if (!key) return std::nullopt;
            if (!key->isString()) {
                failWithReason(std::string("A dictionary key is ") + typeName(*key) + ", not a string.");
                return std::nullopt;
            }
            auto value = decodeReference((*values)[i]);
            if (!value) return std::nullopt;
            result[*key->string()] = std::move(*value);
        }
        return Value(std::move(result));
    }
    if (name == "NSString" || name == "NSMutableString") {
        auto s = PlistNode::stringValue(plist_dict_get_item(dict, "NS.string"));
        if (!s) {
            failWithReason("A string object has no NS.string text.");
            return std::nullopt;
        }
        return Value(std::move(*s));
    }
    if (name == "NSData" || name == "NSMutableData") {
        auto d = PlistNode::dataValue(plist_dict_get_item(dict, "NS.data"));
        if (!d) {
            failWithReason("A data object has no NS.data bytes.");
            return std::nullopt;
        }
        return Value(std::move(*d));
    }
    if (name == "NSDate") {
        plist_t time = plist_dict_get_item(dict, "NS.time");
        double t = 0;
        if (time && plist_get_node_type(time) == PLIST_REAL) {
            plist_get_real_val(time, &t);
        } else if (time && plist_get_node_type(time) == PLIST_UINT) {
            uint64_t u = 0;
            plist_get_uint_val(time, &u);
            t = static_cast<double>(static_cast<int64_t>(u));
        } else {
            failWithReason("A date has no NS.time number.");
            return std::nullopt;
        }
        if (!std::isfinite(t)) {
            failWithReason("A date's NS.time is not a finite number.");
            return std::nullopt;
        }
        return Value(Date::fromTimeIntervalSinceReferenceDate(t));
    }
    if (name == "NSUUID") {
        auto bytes = PlistNode::dataValue(plist_dict_get_item(dict, "NS.uuidbytes"));
        if (!bytes || bytes->size() != 16) {
            failWithReason("A UUID does not have 16 NS.uuidbytes.");
            return std::nullopt;
        }
        UUID::Bytes b;
        std::copy(bytes->begin(), bytes->end(), b.begin());
        return Value(UUID(b));
    }
    handled = false;
    return std::nullopt;
}

std::optional<Value> KeyedUnarchiver::decodeInstance(uint64_t uid, plist_t dict) {
    auto coded = className(dict);
    if (!coded) return std::nullopt;
    std::string name = *coded;
    Decoder decoder;
    {
        auto &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto local = renames_.find(name);
        if (local != renames_.end()) {
            name = local->second;
        } else if (auto global = r.renames.find(name); global != r.renames.end()) {
            name = global->second;
        }
        auto found = r.decoders.find(name);
        if (found != r.decoders.end()) decoder = found->second;
    }
    bool handled = false;
    auto builtin = decodeBuiltin(name, dict, handled);
    if (handled) return builtin;
    if (!decoder) {
        failWithReason("Cannot decode object " + std::to_string(uid) + " of class " + *coded +
                       ": the class is not registered.");
        return std::nullopt;
    }
    plist_t saved = current_;
    current_ = dict;
    std::shared_ptr<Object> object;
    try {
        object = decoder(*this);
    } catch (const std::exception &e) {
        failWithReason("Decoding an object of class " + name + " failed: " + e.what());
    } catch (...) {
        failWithReason("Decoding an object of class " + name + " failed.");
    }
    current_ = saved;
    if (error_) return std::nullopt;
    if (!object) {
        failWithReason("The decoder of class " + name + " refused object " + std::to_string(uid) + ".");
        return std::nullopt;
    }
    return Value(object);
}

std::optional<Value> KeyedUnarchiver::decodeScalar(const std::string &key) {
    if (error_) return std::nullopt;
    plist_t node = entry(key);
    if (!node) return std::nullopt;
    auto v = decodeEntry(node, key);
    if (!v) return std::nullopt;
    if (!v->isNumber()) {
        typeMismatch(key, "a number", *v);
        return std::nullopt;
    }
    return v;
}

bool KeyedUnarchiver::decodeBoolForKey(const std::string &key) {
    auto v = decodeScalar(key);
    return v ? v->boolValue().value_or(false) : false;
}

int32_t KeyedUnarchiver::decodeInt32ForKey(const std::string &key) {
    auto v = decodeScalar(key);
    if (!v) return 0;
    int64_t i = v->int64Value().value_or(0);
    if (i < INT32_MIN || i > INT32_MAX) {
        failWithReason("The value for key \"" + key + "\" does not fit in 32 bits.");
        return 0;
    }
    return static_cast<int32_t>(i);
}

int64_t KeyedUnarchiver::decodeInt64ForKey(const std::string &key) {
    auto v = decodeScalar(key);
    return v ? v->int64Value().value_or(0) : 0;
}

double KeyedUnarchiver::decodeDoubleForKey(const std::string &key) {
    auto v = decodeScalar(key);
    return v ? v->doubleValue().value_or(0.0) : 0.0;
}

std::optional<Value> KeyedUnarchiver::decodeNumberForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (!v.isNumber()) {
        typeMismatch(key, "a number", v);
        return std::nullopt;
    }
    return v;
}

std::optional<std::string> KeyedUnarchiver::decodeStringForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (const std::string *s = v.string()) return *s;
    typeMismatch(key, "a string", v);
    return std::nullopt;
}

std::optional<Date> KeyedUnarchiver::decodeDateForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (const Date *d = v.date()) return *d;
    typeMismatch(key, "a date", v);
    return std::nullopt;
}

std::optional<UUID> KeyedUnarchiver::decodeUUIDForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (const UUID *u = v.uuid()) return *u;
    typeMismatch(key, "a UUID", v);
    return std::nullopt;
}

std::optional<Data> KeyedUnarchiver::decodeDataForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (const Data *d = v.data()) return *d;
    typeMismatch(key, "data", v);
    return std::nullopt;
}

std::optional<Array> KeyedUnarchiver::decodeArrayForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (Array *a = v.array()) return std::move(*a);
    typeMismatch(key, "an array", v);
    return std::nullopt;
}

std::optional<Dictionary> KeyedUnarchiver::decodeDictionaryForKey(const std::string &key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return std::nullopt;
    if (Dictionary *d = v.dictionary()) return std::move(*d);
    typeMismatch(key, "a dictionary", v);
    return std::nullopt;
}

std::optional<std::map<std::string, std::string>> KeyedUnarchiver::decodeStringDictionaryForKey(
    const std::string &key) {
    auto dict = decodeDictionaryForKey(key);
    if (!dict) return std::nullopt;
    std::map<std::string, std::string> result;
    for (const auto &[k, v] : *dict) {
        const std::string *s = v.string();
        if (!s) {
            typeMismatch(key, "a dictionary of strings", v);
            return std::nullopt;
        }
        result[k] = *s;
    }
    return result;
}

}  // namespace platform
