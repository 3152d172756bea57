#pragma once
// Sends HTTP requests with retries.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCHttpClientDelegate.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/net/HTTPURLResponse.h"

using BCHttpRequestCompletionHandler =
    std::function<void(std::optional<platform::Data> responseBody,
                       std::shared_ptr<const platform::net::HTTPURLResponse> response, platform::ErrorPtr error)>;

class BCHttpClientProtocol {
public:
    virtual ~BCHttpClientProtocol() = default;
    // Queues one call. A recoverable status (no response, 408, 429, 5xx) is
    // retried after each interval (seconds) in turn, or after the delay the
    // server names in "x-bc-retry-after-ms"; the handler then runs once with
    // the last data, response and error. The handler never runs on the
    // caller's stack.
    virtual void sendAsync(const platform::URL &url, const std::string &method, const BCHttpHeaders &headers,
                           std::optional<platform::Data> data, std::vector<double> retryIntervals,
                           bool compressionEnabled, BCHttpRequestCompletionHandler completionHandler) = 0;
    // Held weakly.
    virtual void setDelegate(std::weak_ptr<BCHttpClientDelegate> delegate) = 0;
};
