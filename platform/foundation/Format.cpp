#include "platform/foundation/Format.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace platform {

int64_t FormatArg::asSigned() const {
    switch (kind_) {
        case Kind::Signed: return i_;
        case Kind::Unsigned: return static_cast<int64_t>(u_);
        case Kind::Real: return std::isfinite(d_) ? static_cast<int64_t>(d_) : 0;
        default: return 0;
    }
}

uint64_t FormatArg::asUnsigned() const {
    switch (kind_) {
        case Kind::Signed: return static_cast<uint64_t>(i_);
        case Kind::Unsigned: return u_;
        case Kind::Real: return std::isfinite(d_) && d_ >= 0 ? static_cast<uint64_t>(d_) : 0;
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
            width = static_cast<int>(take().asSigned());
            if (width < 0) {
                flags += '-';
                width = -width;
            }
            ++i;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') width = (width < 0 ? 0 : width * 10) + (fmt[i++] - '0');
        }
        int precision = -1;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            precision = 0;
            if (i < fmt.size() && fmt[i] == '*') {
                precision = static_cast<int>(take().asSigned());
                ++i;
            } else {
                while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') precision = precision * 10 + (fmt[i++] - '0');
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
                std::string s = spec + "lld";
                std::snprintf(buf, sizeof buf, s.c_str(), static_cast<long long>(a.asSigned()));
                out += buf;
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                const FormatArg &a = take();
                std::string s = spec + "ll" + conv;
                std::snprintf(buf, sizeof buf, s.c_str(), static_cast<unsigned long long>(a.asUnsigned()));
                out += buf;
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
                std::string s = spec + conv;
                std::snprintf(buf, sizeof buf, s.c_str(), a.asReal());
                out += buf;
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
