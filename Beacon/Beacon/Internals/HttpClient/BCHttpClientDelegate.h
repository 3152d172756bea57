#pragma once
// The HTTP client's delegate: one optional call made before every request
// goes out (retries included), with the URL and the headers actually sent.
#include <functional>
#include <map>
#include <string>

#include "platform/foundation/URL.h"

// Header fields by name. Names are kept as given; the client looks them up
// without regard to case.
using BCHttpHeaders = std::map<std::string, std::string>;

class BCHttpClientDelegate {
public:
    virtual ~BCHttpClientDelegate() = default;
    // Empty: the delegate does not respond to it.
    std::function<void(const platform::URL &url, const BCHttpHeaders &headers)> willSendHTTPRequestToURL;
};
