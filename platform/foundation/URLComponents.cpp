// Putting a URL back together from its parts.
#include "platform/foundation/URLComponents.h"

namespace platform {

URLComponents::URLComponents(const URL &url)
    : scheme_(url.scheme()),
      user_(url.user()),
      password_(url.password()),
      host_(url.host()),
      port_(url.port()),
      path_(url.path()),
      query_(url.query()),
      fragment_(url.fragment()) {}

std::optional<URL> URLComponents::url() const {
    if (host_ && !path_.empty() && path_[0] != '/') return std::nullopt;
    std::string text;
    if (scheme_) text += *scheme_ + ":";
    if (host_ || user_ || password_ || port_) {
        text += "//";
        if (user_ || password_) {
            text += user_.value_or("");
            if (password_) text += ":" + *password_;
            text += "@";
        }
        const std::string host = host_.value_or("");
        text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
        if (port_) text += ":" + std::to_string(*port_);
    }
    text += path_;
    if (query_) text += "?" + *query_;
    if (fragment_) text += "#" + *fragment_;
    return URL::parse(text);
}

}  // namespace platform
