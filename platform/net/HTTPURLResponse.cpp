// The status and header fields of an HTTP response.
#include "platform/net/HTTPURLResponse.h"

#include <strings.h>

namespace platform::net {

std::map<std::string, std::string> HTTPURLResponse::allHeaderFields() const {
    std::map<std::string, std::string> fields;
    for (const auto &[name, value] : headerFields_) {
        auto [it, inserted] = fields.emplace(name, value);
        if (!inserted) it->second += ", " + value;
    }
    return fields;
}

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(const std::string &name) const {
    for (const auto &[field, value] : headerFields_)
        if (strcasecmp(field.c_str(), name.c_str()) == 0) return value;
    return std::nullopt;
}

std::string HTTPURLResponse::description() const {
    return "<NSHTTPURLResponse> { URL: " + url_.absoluteString() + " } { Status Code: " + std::to_string(statusCode_) +
           " }";
}

}  // namespace platform::net
