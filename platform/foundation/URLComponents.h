#pragma once
// The parts of a URL, changed one at a time and put back together (as
// NSURLComponents). The parts are kept as written (percent-encoded).
#include <optional>
#include <string>

#include "platform/foundation/URL.h"

namespace platform {

class URLComponents {
public:
    URLComponents() = default;
    explicit URLComponents(const URL &url) : parts_(url.parts()) {}

    const std::optional<std::string> &scheme() const { return parts_.scheme; }
    const std::optional<std::string> &user() const { return parts_.user; }
    const std::optional<std::string> &password() const { return parts_.password; }
    const std::optional<std::string> &host() const { return parts_.host; }
    const std::optional<int> &port() const { return parts_.port; }
    const std::string &path() const { return parts_.path; }
    const std::optional<std::string> &query() const { return parts_.query; }
    const std::optional<std::string> &fragment() const { return parts_.fragment; }

    void setScheme(std::optional<std::string> scheme) { parts_.scheme = std::move(scheme); }
    void setUser(std::optional<std::string> user) { parts_.user = std::move(user); }
    void setPassword(std::optional<std::string> password) { parts_.password = std::move(password); }
    void setHost(std::optional<std::string> host) { parts_.host = std::move(host); }
    void setPort(std::optional<int> port) { parts_.port = port; }
    void setPath(std::string path) { parts_.path = std::move(path); }
    void setQuery(std::optional<std::string> query) { parts_.query = std::move(query); }
    void setFragment(std::optional<std::string> fragment) { parts_.fragment = std::move(fragment); }

    // The URL of the parts; absent when there is a host and the path is
    // neither empty nor begins with "/", or when the result does not parse.
    std::optional<URL> url() const;

private:
    URLParts parts_;
};

}  // namespace platform
