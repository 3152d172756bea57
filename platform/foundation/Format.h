#pragma once
// Foundation-style string formatting: the format texts are used exactly as
// written ("%@", "%d", "%ld", "%lu", "%tu", "%llx", "%0*llx", "%.0f", ...).
// "%@" prints an object's description and "(null)" for nil.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

// One argument of a format call, reduced to what the conversions need.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Real, Text, Nil, CString };

    template <typename I, std::enable_if_t<std::is_integral_v<I> && std::is_signed_v<I>, int> = 0>
    FormatArg(I i) : kind_(Kind::Signed), i_(static_cast<int64_t>(i)) {}
    template <typename I, std::enable_if_t<std::is_integral_v<I> && !std::is_signed_v<I>, int> = 0>
    FormatArg(I u) : kind_(Kind::Unsigned), u_(static_cast<uint64_t>(u)) {}
    template <typename E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
    FormatArg(E e) : FormatArg(static_cast<std::underlying_type_t<E>>(e)) {}
    FormatArg(double d) : kind_(Kind::Real), d_(d) {}
    FormatArg(float f) : kind_(Kind::Real), d_(f) {}
    FormatArg(const char *s) : kind_(s ? Kind::CString : Kind::Nil), text_(s ? s : "") {}
    FormatArg(const std::string &s) : kind_(Kind::Text), text_(s) {}
    FormatArg(std::string_view s) : kind_(Kind::Text), text_(s) {}
    FormatArg(const std::optional<std::string> &s) : kind_(s ? Kind::Text : Kind::Nil), text_(s ? *s : "") {}
    FormatArg(std::nullptr_t) : kind_(Kind::Nil) {}
    FormatArg(const Value &v) : kind_(v.isNull() ? Kind::Nil : Kind::Text), text_(v.isNull() ? "" : v.description()) {}
    FormatArg(const Date &d) : kind_(Kind::Text), text_(d.description()) {}
    FormatArg(const UUID &u) : kind_(Kind::Text), text_(u.UUIDString()) {}
    template <typename T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    FormatArg(const std::shared_ptr<T> &o) : kind_(o ? Kind::Text : Kind::Nil), text_(o ? o->description() : "") {}
    template <typename T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    FormatArg(const T &o) : kind_(Kind::Text), text_(o.description()) {}

    Kind kind() const { return kind_; }
    int64_t asSigned() const;
    uint64_t asUnsigned() const;
    double asReal() const;
    // The text "%@" and "%s" print; "(null)" for nil.
    std::string asText() const;

private:
    Kind kind_;
    int64_t i_ = 0;
    uint64_t u_ = 0;
    double d_ = 0;
    std::string text_;
};

std::string formatArgs(std::string_view fmt, const std::vector<FormatArg> &args);

template <typename... Args>
std::string format(std::string_view fmt, const Args &...args) {
    return formatArgs(fmt, std::vector<FormatArg>{FormatArg(args)...});
}

}  // namespace platform
