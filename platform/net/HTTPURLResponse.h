#pragma once
// The status line and header fields of the last response of a request (after
// redirects and interim "100 Continue" answers).
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"

namespace platform::net {

class HTTPURLResponse : public Object {
public:
    HTTPURLResponse(URL url, long statusCode, std::vector<std::pair<std::string, std::string>> headerFields)
        : url_(std::move(url)), statusCode_(statusCode), headerFields_(std::move(headerFields)) {}

    long statusCode() const { return statusCode_; }
    // The URL that answered (the last one after redirects).
    const URL &url() const { return url_; }
    // Every field by name; a repeated name keeps its values joined by ", ".
    std::map<std::string, std::string> allHeaderFields() const;
    // The value of the field, the name compared without regard to case.
    std::optional<std::string> valueForHTTPHeaderField(const std::string &name) const;
    // The fields in the order they came.
    const std::vector<std::pair<std::string, std::string>> &headerFields() const { return headerFields_; }

    std::string className() const override { return "NSHTTPURLResponse"; }
    std::string description() const override;

private:
    URL url_;
    long statusCode_;
    std::vector<std::pair<std::string, std::string>> headerFields_;
};

}  // namespace platform::net
