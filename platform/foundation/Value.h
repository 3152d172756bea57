#pragma once
// One value of the property-list family (and of Objective-C's `id`): nil,
// booleans, integers, reals, strings, data, dates, UUIDs, arrays,
// dictionaries, or an object held by reference. User defaults, archives,
// Info.plist and the "%@" formatter all speak it.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/UUID.h"

namespace platform {

using Data = std::vector<uint8_t>;

class Value {
public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;

    enum class Type { Null, Bool, Integer, Real, String, Data, Date, UUID, Array, Dictionary, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    template <typename I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    Value(I i) : v_(static_cast<int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(float f) : v_(static_cast<double>(f)) {}
    Value(const char *s) {
        if (s) v_ = std::string(s);
    }
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const std::optional<std::string> &s) {
        if (s) v_ = *s;
    }
    Value(platform::Data d) : v_(std::move(d)) {}
    Value(platform::Date d) : v_(d) {}
    Value(platform::UUID u) : v_(u) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}
    template <typename T, std::enable_if_t<std::is_base_of_v<platform::Object, T>, int> = 0>
    Value(std::shared_ptr<T> o) {
        if (o) v_ = std::shared_ptr<platform::Object>(std::const_pointer_cast<std::remove_const_t<T>>(o));
    }

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isNumber() const { return type() == Type::Bool || type() == Type::Integer || type() == Type::Real; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isUUID() const { return type() == Type::UUID; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }

    // Numbers convert among themselves as NSNumber does; anything else is absent.
    std::optional<bool> boolValue() const;
    std::optional<int64_t> int64Value() const;
    std::optional<double> doubleValue() const;

    // Typed access: null when the value holds another type.
    const std::string *string() const { return std::get_if<std::string>(&v_); }
    const platform::Data *data() const { return std::get_if<platform::Data>(&v_); }
    const platform::Date *date() const { return std::get_if<platform::Date>(&v_); }
    const platform::UUID *uuid() const { return std::get_if<platform::UUID>(&v_); }
    const Array *array() const { return std::get_if<Array>(&v_); }
    const Dictionary *dictionary() const { return std::get_if<Dictionary>(&v_); }
    Array *array() { return std::get_if<Array>(&v_); }
    Dictionary *dictionary() { return std::get_if<Dictionary>(&v_); }
    std::shared_ptr<platform::Object> object() const {
        auto p = std::get_if<std::shared_ptr<platform::Object>>(&v_);
        return p ? *p : nullptr;
    }
    template <typename T>
    std::shared_ptr<T> objectAs() const {
        return std::dynamic_pointer_cast<T>(object());
    }

    // Dictionary lookup; a null Value when this is not a dictionary or the
    // key is missing.
    const Value &operator[](const std::string &key) const;

    // What "%@" prints; nil prints "(null)".
    std::string description() const;

    friend bool operator==(const Value &a, const Value &b);
    friend bool operator!=(const Value &a, const Value &b) { return !(a == b); }

private:
    std::variant<std::monostate, bool, int64_t, double, std::string, platform::Data, platform::Date, platform::UUID,
                 Array, Dictionary, std::shared_ptr<platform::Object>>
        v_;
};

using Array = Value::Array;
using Dictionary = Value::Dictionary;

}  // namespace platform
