#include "platform/foundation/Format.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

namespace platform {

namespace {

// A real converted to an integer type, clamped to its range (converting a
// value outside it is undefined); NaN gives 0.
template <typename T>
T clampedInteger(double d) {
    if (std::isnan(d)) return 0;
    // Both limits as doubles: the maximum rounds up to 2^63 or 2^64, itself
    // out of range, hence ">=".
    if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    return static_cast<T>(d);
}

}  // namespace

int64_t FormatArg::asSigned() const {
    switch (kind_) {
    case Kind::Signed: return i_;
    case Kind::Unsigned: return static_cast<int64_t>(u_);
    case Kind::Real: return clampedInteger<int64_t>(d_);
    default: return 0;
    }
}

uint64_t FormatArg::asUnsigned() const {
    switch (kind_) {
    case Kind::Signed: return static_cast<uint64_t>(i_);
    case Kind::Unsigned: return u_;
    case Kind::Real: return clampedInteger<uint64_t>(d_);
    default: return 0;
    }
}

double FormatArg::asReal() const {
    switch (kind_) {
    case Kind::Signed: return static_cast<double>(i_);
    case Kind::Unsigned: return static_cast<double>(u_);
    case Kind::Real: return d_;
    default: return 0;
    }
}

std::string FormatArg::asText() const {
    switch (kind_) {
    case Kind::Text:
    case Kind::CString: return text_;
    case Kind::Nil: return "(null)";
    case Kind::Signed: return std::to_string(i_);
    case Kind::Unsigned: return std::to_string(u_);
    case Kind::Real: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", d_);
        return buf;
    }
    }
    return "(null)";
}

namespace {

// Applies a width and the "-" flag to text that printf did not lay out.
std::string pad(std::string text, const std::string &flags, int width) {
    if (width > 0 && text.size() < static_cast<size_t>(width)) {
        std::string fill(static_cast<size_t>(width) - text.size(), ' ');
        text = flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

// Widths and precisions beyond this are taken as this: a width read from an
// argument ("%*d") must not ask for gigabytes of padding.
constexpr int kMaxWidth = 1 << 16;

int clampWidth(long long value) { return value > kMaxWidth ? kMaxWidth : static_cast<int>(value); }

// snprintf into a buffer of the size the conversion needs.
template <typename T>
void appendPrintf(std::string &out, const std::string &spec, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, spec.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    big.resize(static_cast<size_t>(n));
    out += big;
}

}  // namespace

std::string formatArgs(std::string_view fmt, const std::vector<FormatArg> &args) {
    std::string out;
    size_t next = 0;
    static const FormatArg missing(nullptr);
    auto take = [&]() -> const FormatArg & { return next < args.size() ? args[next++] : missing; };

    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        size_t start = i++;
        if (i >= fmt.size()) {
            out.push_back('%');
            break;
        }
        if (fmt[i] == '%') {
            out.push_back('%');
            continue;
        }
        std::string flags;
        while (i < fmt.size() && std::string_view("-+ #0'").find(fmt[i]) != std::string_view::npos) flags += fmt[i++];
        int width = -1;
        if (i < fmt.size() && fmt[i] == '*') {
            int64_t w = take().asSigned();
            if (w < 0) {
                flags += '-';
                w = w == INT64_MIN ? INT64_MAX : -w;
            }
            width = clampWidth(w);
            ++i;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9')
                width = clampWidth((width < 0 ? 0LL : width * 10LL) + (fmt[i++] - '0'));
        }
        int precision = -1;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            precision = 0;
            if (i < fmt.size() && fmt[i] == '*') {
                // A negative precision counts as none, as printf takes it.
                int64_t p = take().asSigned();
                precision = p < 0 ? -1 : clampWidth(p);
                ++i;
            } else {
                while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9')
                    precision = clampWidth(precision * 10LL + (fmt[i++] - '0'));
            }
        }
        // Length modifiers only tell the C caller's argument size; our
        // arguments carry their own, so they are read and dropped.
        while (i < fmt.size() && std::string_view("hlqLjztI").find(fmt[i]) != std::string_view::npos) ++i;
        if (i >= fmt.size()) {
            out.append(fmt.substr(start));
            break;
        }
        char conv = fmt[i];
        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(width);
        if (precision >= 0) spec += "." + std::to_string(precision);
        char buf[512];
        switch (conv) {
        case 'd':
        case 'i': {
            const FormatArg &a = take();
            appendPrintf(out, spec + "lld", static_cast<long long>(a.asSigned()));
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            const FormatArg &a = take();
            appendPrintf(out, spec + "ll" + conv, static_cast<unsigned long long>(a.asUnsigned()));
            break;
        }
        case 'c': {
            const FormatArg &a = take();
            out += pad(std::string(1, static_cast<char>(a.asSigned())), flags, width);
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            const FormatArg &a = take();
            appendPrintf(out, spec + conv, a.asReal());
            break;
        }
        case 'p': {
            const FormatArg &a = take();
            std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(a.asUnsigned()));
            out += pad(buf, flags, width);
            break;
        }
        case '@':
        case 's':
        case 'S': {
            std::string text = take().asText();
            if (precision >= 0 && conv != '@' && text.size() > static_cast<size_t>(precision))
                text.resize(static_cast<size_t>(precision));
            out += pad(std::move(text), flags, width);
            break;
        }
        default:
            // Not a conversion we know: print it as written.
            out.append(fmt.substr(start, i - start + 1));
            break;
        }
    }
    return out;
}

}  // namespace platform
