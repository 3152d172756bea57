#include "platform/foundation/Value.h"

#include <cmath>
#include <cstdio>

namespace platform {

std::optional<bool> Value::boolValue() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_);
    case Type::Integer: return std::get<int64_t>(v_) != 0;
    case Type::Real: return std::get<double>(v_) != 0.0;
    default: return std::nullopt;
    }
}

std::optional<int64_t> Value::int64Value() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Type::Integer: return std::get<int64_t>(v_);
    case Type::Real: {
        double d = std::get<double>(v_);
        // Out-of-range and NaN reals would be undefined to convert.
        if (!(d > -9.2233720368547758e18 && d < 9.2233720368547758e18)) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    default: return std::nullopt;
    }
}

std::optional<double> Value::doubleValue() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::Integer: return static_cast<double>(std::get<int64_t>(v_));
    case Type::Real: return std::get<double>(v_);
    default: return std::nullopt;
    }
}

const Value &Value::operator[](const std::string &key) const {
    static const Value null;
    auto d = dictionary();
    if (!d) return null;
    auto it = d->find(key);
    return it == d->end() ? null : it->second;
}

static std::string indentLines(const std::string &text) {
    std::string out;
    for (char c : text) {
        out.push_back(c);
        if (c == '\n') out += "    ";
    }
    return out;
}

std::string Value::description() const {
    switch (type()) {
    case Type::Null: return "(null)";
    case Type::Bool: return std::get<bool>(v_) ? "1" : "0";
    case Type::Integer: return std::to_string(std::get<int64_t>(v_));
    case Type::Real: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", std::get<double>(v_));
        return buf;
    }
    case Type::String: return std::get<std::string>(v_);
    case Type::Data: {
        const auto &d = std::get<platform::Data>(v_);
        std::string out = "{length = " + std::to_string(d.size()) + ", bytes = 0x";
        char hex[3];
        for (size_t i = 0; i < d.size() && i < 32; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", d[i]);
            out += hex;
        }
        if (d.size() > 32) out += "...";
        return out + "}";
    }
    case Type::Date: return std::get<platform::Date>(v_).description();
    case Type::UUID: return std::get<platform::UUID>(v_).UUIDString();
    case Type::Array: {
        const auto &a = std::get<Array>(v_);
        if (a.empty()) return "(\n)";
        std::string out = "(";
        for (size_t i = 0; i < a.size(); ++i) {
            out += "\n    " + indentLines(a[i].description());
            if (i + 1 < a.size()) out += ",";
        }
        return out + "\n)";
    }
    case Type::Dictionary: {
        const auto &d = std::get<Dictionary>(v_);
        std::string out = "{";
        for (const auto &[k, v] : d) out += "\n    " + k + " = " + indentLines(v.description()) + ";";
        return out + "\n}";
    }
    case Type::Object: {
        auto o = std::get<std::shared_ptr<platform::Object>>(v_);
        return o ? o->description() : "(null)";
    }
    }
    return "(null)";
}

bool operator==(const Value &a, const Value &b) {
    if (a.isNumber() && b.isNumber()) {
        // NSNumber compares by value across its kinds.
        if (a.isReal() || b.isReal()) return *a.doubleValue() == *b.doubleValue();
        return *a.int64Value() == *b.int64Value();
    }
    if (a.type() != b.type()) return false;
    if (a.isObject()) {
        auto x = a.object(), y = b.object();
        return x == y || (x && y && x->isEqual(*y));
    }
    return a.v_ == b.v_;
}

}  // namespace platform
