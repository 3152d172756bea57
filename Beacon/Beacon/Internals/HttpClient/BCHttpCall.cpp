// One call of the HTTP client: body preparation and the retry delay.
#include "BCHttpCall.h"

#include <strings.h>

#include "BCCompression.h"

namespace {

void setHeader(BCHttpHeaders &headers, const std::string &name, const std::string &value) {
    for (auto it = headers.begin(); it != headers.end();) {
        it = strcasecmp(it->first.c_str(), name.c_str()) == 0 ? headers.erase(it) : std::next(it);
    }
    headers[name] = value;
}

}  // namespace

BCHttpCall::BCHttpCall(platform::URL url, std::string method, const BCHttpHeaders &headers,
                       std::optional<platform::Data> data, std::vector<double> retryIntervals, bool compressionEnabled,
                       BCHttpRequestCompletionHandler completionHandler)
    : url_(std::move(url)), method_(std::move(method)), headers_(headers), data_(std::move(data)),
      retryIntervals_(std::move(retryIntervals)), compressionEnabled_(compressionEnabled),
      completionHandler_(std::move(completionHandler)) {
    if (compressionEnabled_ && data_ && data_->size() >= kCompressionThreshold) {
        // Should compression fail, the plain body goes out and says so by
        // carrying no "Content-Encoding".
        if (auto compressed = BCCompression::compressData(data_)) {
            data_ = std::move(compressed);
            setHeader(headers_, "Content-Encoding", "gzip");
        }
    }
    if (data_ && !headerValue(headers_, "Content-Type")) headers_["Content-Type"] = "application/json";
}

std::optional<std::string> BCHttpCall::headerValue(const BCHttpHeaders &headers, const std::string &name) {
    for (const auto &[field, value] : headers)
        if (strcasecmp(field.c_str(), name.c_str()) == 0) return value;
    return std::nullopt;
}

std::optional<double> BCHttpCall::delayForRetry(const platform::net::HTTPURLResponse *response) const {
    if (retryCount >= retryIntervals_.size()) return std::nullopt;
    if (response) {
        if (auto retryAfter = response->valueForHTTPHeaderField("x-bc-retry-after-ms")) {
            bool digits = !retryAfter->empty() && retryAfter->size() <= 19 &&
                          retryAfter->find_first_not_of("0123456789") == std::string::npos;
            if (digits) {
                uint64_t ms = std::stoull(*retryAfter);
                if (ms > kMaxRetryAfterMs) ms = kMaxRetryAfterMs;
                return static_cast<double>(ms) / 1000.0;
            }
        }
    }
    return retryIntervals_[retryCount];
}
