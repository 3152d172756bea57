#pragma once
// One call of the HTTP client: the request as it goes out (the body prepared
// once, at queueing), its retry intervals, the attempts made so far and the
// handler that receives its outcome. Owned and touched only on the client's
// queue.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCHttpClientProtocol.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/net/URLSessionDataTask.h"

class BCHttpCall {
public:
    // Bodies of this many bytes or more are compressed when compression is on.
    static constexpr size_t kCompressionThreshold = 1400;
    // The longest delay accepted from "x-bc-retry-after-ms": 24 hours.
    static constexpr uint64_t kMaxRetryAfterMs = 24ull * 60 * 60 * 1000;

    BCHttpCall(platform::URL url, std::string method, const BCHttpHeaders &headers, std::optional<platform::Data> data,
               std::vector<double> retryIntervals, bool compressionEnabled,
               BCHttpRequestCompletionHandler completionHandler);

    const platform::URL &url() const { return url_; }
    const std::string &method() const { return method_; }
    // With "Content-Encoding" and "Content-Type" as they go out.
    const BCHttpHeaders &headers() const { return headers_; }
    const std::optional<platform::Data> &data() const { return data_; }
    const std::vector<double> &retryIntervals() const { return retryIntervals_; }
    bool compressionEnabled() const { return compressionEnabled_; }
    const BCHttpRequestCompletionHandler &completionHandler() const { return completionHandler_; }

    size_t retryCount = 0;
    bool inProgress = false;
    // Bumped whenever an attempt or timer is abandoned, so that its late
    // outcome is recognised and ignored.
    uint64_t generation = 0;
    std::shared_ptr<platform::net::URLSessionDataTask> task;
    // The request in flight was cancelled because the client paused; its
    // cancellation is not an outcome.
    bool cancelledForPause = false;
    // A failed attempt's transport error was logged: once per call, not at
    // each retry.
    bool transportFailureLogged = false;
    // The timer of the next attempt, while one is armed.
    std::shared_ptr<platform::dispatch::TimerSource> retryTimer;

    // The delay before the next attempt after a recoverable status, in
    // seconds: the server's "x-bc-retry-after-ms" when it is decimal digits
    // (clamped to 24 hours), else the next interval. Absent when the
    // intervals are used up.
    std::optional<double> delayForRetry(const platform::net::HTTPURLResponse *response) const;

    // The value of a header field, the name compared without regard to case.
    static std::optional<std::string> headerValue(const BCHttpHeaders &headers, const std::string &name);

private:
    platform::URL url_;
    std::string method_;
    BCHttpHeaders headers_;
    std::optional<platform::Data> data_;
    std::vector<double> retryIntervals_;
    bool compressionEnabled_;
    BCHttpRequestCompletionHandler completionHandler_;
};
