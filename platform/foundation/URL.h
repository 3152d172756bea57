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

class URL {
public:
    // Absent when the text is not a URI reference.
    static std::optional<URL> parse(std::string_view text);
    // "file://" and the path encoded with the path set; a relative path is
    // made absolute against the current directory first.
    static URL fileURLWithPath(const std::string &path);

    const std::string &absoluteString() const { return text_; }
    const std::optional<std::string> &scheme() const { return scheme_; }
    const std::optional<std::string> &user() const { return user_; }
    const std::optional<std::string> &password() const { return password_; }
    // Without the brackets of an IPv6 literal.
    const std::optional<std::string> &host() const { return host_; }
    const std::optional<int> &port() const { return port_; }
    const std::string &path() const { return path_; }
    const std::optional<std::string> &query() const { return query_; }
    const std::optional<std::string> &fragment() const { return fragment_; }
    bool isFileURL() const;

    friend bool operator==(const URL &a, const URL &b) { return a.text_ == b.text_; }
    friend bool operator!=(const URL &a, const URL &b) { return !(a == b); }

private:
    friend class URLComponents;
    URL() = default;
    std::string text_;
    std::optional<std::string> scheme_;
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    std::optional<std::string> host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace platform
