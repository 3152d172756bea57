// Putting a URL back together from its parts.
#include "platform/foundation/URLComponents.h"

namespace platform {

std::optional<URL> URLComponents::url() const {
    if (parts_.host && !parts_.path.empty() && parts_.path[0] != '/') return std::nullopt;
    std::string text;
    if (parts_.scheme) text += *parts_.scheme + ":";
    if (parts_.host || parts_.user || parts_.password || parts_.port) {
        text += "//";
        if (parts_.user || parts_.password) {
            text += parts_.user.value_or("");
            if (parts_.password) text += ":" + *parts_.password;
            text += "@";
        }
        const std::string host = parts_.host.value_or("");
        text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
        if (parts_.port) text += ":" + std::to_string(*parts_.port);
    }
    text += parts_.path;
    if (parts_.query) text += "?" + *parts_.query;
    if (parts_.fragment) text += "#" + *parts_.fragment;
    return URL::parse(text);
}

}  // namespace platform
