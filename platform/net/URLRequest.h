#pragma once
// One HTTP request: where, how, which header fields and what body.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform::net {

struct URLRequest {
    URL url;
    std::string method = "GET";
    // Sent in this order, each as "Name: value".
    std::vector<std::pair<std::string, std::string>> headers;
    // Sent as given when present (even empty).
    std::optional<Data> body;
};

}  // namespace platform::net
