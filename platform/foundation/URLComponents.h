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
    explicit URLComponents(const URL &url);

    const std::optional<std::string> &scheme() const { return scheme_; }
    const std::optional<std::string> &user() const { return user_; }
    const std::optional<std::string> &password() const { return password_; }
    const std::optional<std::string> &host() const { return host_; }
    const std::optional<int> &port() const { return port_; }
    const std::string &path() const { return path_; }
    const std::optional<std::string> &query() const { return query_; }
    const std::optional<std::string> &fragment() const { return fragment_; }

    void setScheme(std::optional<std::string> scheme) { scheme_ = std::move(scheme); }
    void setUser(std::optional<std::string> user) { user_ = std::move(user); }
    void setPassword(std::optional<std::string> password) { password_ = std::move(password); }
    void setHost(std::optional<std::string> host) { host_ = std::move(host); }
    void setPort(std::optional<int> port) { port_ = port; }
    void setPath(std::string path) { path_ = std::move(path); }
    void setQuery(std::optional<std::string> query) { query_ = std::move(query); }
    void setFragment(std::optional<std::string> fragment) { fragment_ = std::move(fragment); }

    // The URL of the parts; absent when there is a host and the path is
    // neither empty nor begins with "/", or when the result does not parse.
    std::optional<URL> url() const;

private:
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
