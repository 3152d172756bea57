// URL references by the RFC 3986 grammar, and percent-encoding.
#include "platform/foundation/URL.h"

#include <filesystem>

namespace platform {

const std::string_view kURLPathAllowedCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$&'()*+,-./:;=@_~";
const std::string_view kURLQueryAllowedCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$&'()*+,-./:;=?@_~";

namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
    switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=': return true;
    default: return false;
    }
}

// Every character is unreserved, a sub-delimiter, one of `extra`, or a "%HH".
bool validComponent(std::string_view text, std::string_view extra) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
            continue;
        }
        if (isUnreserved(c) || isSubDelim(c) || extra.find(c) != std::string_view::npos) continue;
        return false;
    }
    return true;
}

bool validScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s[0])) return false;
    for (char c : s)
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

bool validIPv6(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!isHex(c) && c != ':' && c != '.') return false;
    return s.find(':') != std::string_view::npos;
}

}  // namespace

std::string addingPercentEncoding(std::string_view text, std::string_view allowed) {
    static const char *kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c != 0 && allowed.find(static_cast<char>(c)) != std::string_view::npos) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::optional<URL> URL::parse(std::string_view text) {
    URL url;
    url.text_ = std::string(text);
    std::string_view rest = text;

    // Fragment and query are cut off first: "#" and "?" end the parts before.
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (!validComponent(fragment, ":@/?")) return std::nullopt;
        url.parts_.fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        std::string_view query = rest.substr(question + 1);
        if (!validComponent(query, ":@/?")) return std::nullopt;
        url.parts_.query = std::string(query);
        rest = rest.substr(0, question);
    }

    // A scheme is the text before the first ":" when no "/" comes first.
    auto colon = rest.find(':');
    auto slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        std::string_view scheme = rest.substr(0, colon);
        if (!validScheme(scheme)) return std::nullopt;  // a colon in a relative first segment
        url.parts_.scheme = std::string(scheme);
        rest = rest.substr(colon + 1);
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        auto end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) {
            std::string_view userinfo = authority.substr(0, at);
            if (!validComponent(userinfo, ":")) return std::nullopt;
            auto sep = userinfo.find(':');
            url.parts_.user = std::string(userinfo.substr(0, sep));
            if (sep != std::string_view::npos) url.parts_.password = std::string(userinfo.substr(sep + 1));
            authority = authority.substr(at + 1);
        }
        std::string_view host;
        std::string_view portText;
        bool hasPort = false;
        if (!authority.empty() && authority[0] == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(1, close - 1);
            if (!validIPv6(host)) return std::nullopt;
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                hasPort = true;
                portText = after.substr(1);
            }
        } else {
            auto sep = authority.rfind(':');
            host = authority.substr(0, sep);
            if (sep != std::string_view::npos) {
                hasPort = true;
                portText = authority.substr(sep + 1);
            }
            if (!validComponent(host, "")) return std::nullopt;
        }
        if (hasPort && !portText.empty()) {
            long port = 0;
            for (char c : portText) {
                if (!isDigit(c)) return std::nullopt;
                port = port * 10 + (c - '0');
                if (port > 65535) return std::nullopt;
            }
            url.parts_.port = static_cast<int>(port);
        }
        url.parts_.host = std::string(host);
    }

    if (!validComponent(rest, ":@/")) return std::nullopt;
    url.parts_.path = std::string(rest);
    return url;
}

URL URL::fileURLWithPath(const std::string &path) {
    std::filesystem::path p(path);
    if (!p.is_absolute()) {
        std::error_code ec;
        p = std::filesystem::absolute(p, ec);
    }
    std::string encoded = addingPercentEncoding(p.string(), kURLPathAllowedCharacters);
    URL url;
    url.text_ = "file://" + encoded;
    url.parts_.scheme = "file";
    url.parts_.host = "";
    url.parts_.path = encoded;
    return url;
}

bool URL::isFileURL() const { return parts_.scheme && *parts_.scheme == "file"; }

}  // namespace platform
