#pragma once
// A URL reference parsed strictly by the RFC 3986 grammar (as NSURL's
// URLWithString: is): blanks, controls, non-ASCII, the characters <>"{}|\^`
// and a "%" not followed by two hex digits are refused; relative references
// are accepted. The parts are answered as written (still percent-encoded).
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Characters that stay as they are in a path and in a query; every other byte
// becomes "%XX".
extern const std::string_view kURLPathAllowedCharacters;
extern const std::string_view kURLQueryAllowedCharacters;

// The text with every UTF-8 byte outside `allowed` written as "%XX".
std::string addingPercentEncoding(std::string_view text, std::string_view allowed);

// The parts of a URL reference, as written (still percent-encoded).
struct URLParts {
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;  // without the brackets of an IPv6 literal
    std::optional<int> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

class URL {
public:
    // Absent when the text is not a URI reference.
    static std::optional<URL> parse(std::string_view text);
    // "file://" and the path encoded with the path set; a relative path is
    // made absolute against the current directory first.
    static URL fileURLWithPath(const std::string &path);

    const std::string &absoluteString() const { return text_; }
    const URLParts &parts() const { return parts_; }
    const std::optional<std::string> &scheme() const { return parts_.scheme; }
    const std::optional<std::string> &user() const { return parts_.user; }
    const std::optional<std::string> &password() const { return parts_.password; }
    const std::optional<std::string> &host() const { return parts_.host; }
    const std::optional<int> &port() const { return parts_.port; }
    const std::string &path() const { return parts_.path; }
    const std::optional<std::string> &query() const { return parts_.query; }
    const std::optional<std::string> &fragment() const { return parts_.fragment; }
    bool isFileURL() const;

    friend bool operator==(const URL &a, const URL &b) { return a.text_ == b.text_; }
    friend bool operator!=(const URL &a, const URL &b) { return !(a == b); }

private:
    URL() = default;
    std::string text_;
    URLParts parts_;
};

}  // namespace platform
