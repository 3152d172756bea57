// The common base of the ingestion endpoints.
#include "BCHttpIngestion.h"

#include "BCHttpClient.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/URLComponents.h"
#include "platform/net/URLSession.h"
#include "platform/foundation/UUID.h"

namespace {
constexpr const char *kLogTag = "Beacon";

bool startsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

// The base URL and the API path with one slash between them: a base that
// ends with a slash ("https://host/" or "https://host/api/") would otherwise
// send to "//logs", a path servers need not fold into "/logs".
std::string joinBaseAndPath(const std::string &baseURL, const std::string &apiPath) {
    if (apiPath.empty()) return baseURL;
    const size_t baseEnd = baseURL.find_last_not_of('/');
    const size_t pathStart = apiPath.find_first_not_of('/');
    const std::string base = baseEnd == std::string::npos ? std::string() : baseURL.substr(0, baseEnd + 1);
    return base + "/" + (pathStart == std::string::npos ? std::string() : apiPath.substr(pathStart));
}
}  // namespace

const std::vector<double> &BCHttpIngestion::defaultRetryIntervals() {
    static const auto *intervals = new std::vector<double>{10, 300, 1200};
    return *intervals;
}

std::shared_ptr<BCHttpIngestion> BCHttpIngestion::make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                       const std::string &baseUrl, const std::string &apiPath,
                                                       BCHttpHeaders headers,
                                                       std::map<std::string, std::string> queryStrings) {
    return make(std::move(httpClient), baseUrl, apiPath, std::move(headers), std::move(queryStrings),
                defaultRetryIntervals());
}

std::shared_ptr<BCHttpIngestion> BCHttpIngestion::make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                       const std::string &baseUrl, const std::string &apiPath,
                                                       BCHttpHeaders headers,
                                                       std::map<std::string, std::string> queryStrings,
                                                       std::vector<double> retryIntervals,
                                                       long maxNumberOfConnections) {
    std::shared_ptr<BCHttpIngestion> ingestion(new BCHttpIngestion(std::move(httpClient), baseUrl, apiPath,
                                                                   std::move(headers), queryStrings,
                                                                   std::move(retryIntervals), maxNumberOfConnections));
    ingestion->attachToClient();
    return ingestion;
}

BCHttpIngestion::BCHttpIngestion(std::shared_ptr<BCHttpClientProtocol> httpClient, const std::string &baseUrl,
                                 const std::string &apiPath, BCHttpHeaders headers,
                                 const std::map<std::string, std::string> &queryStrings,
                                 std::vector<double> retryIntervals, long maxNumberOfConnections)
    : baseURL_(baseUrl), apiPath_(apiPath), sendURL_(buildURLWithBaseURL(baseUrl, apiPath, queryStrings)),
      httpHeaders_(std::move(headers)), httpClient_(std::move(httpClient)),
      maxNumberOfConnections_(maxNumberOfConnections), callsRetryIntervals_(std::move(retryIntervals)) {}

void BCHttpIngestion::answerRefusal(const BCSendAsyncCompletionHandler &handler,
                                    const std::optional<std::string> &callId, int64_t code,
                                    const std::string &description) {
    if (!handler) return;
    handler(callId, nullptr, std::nullopt,
            platform::Error::make(kBCErrorDomain, code, {{platform::kLocalizedDescriptionKey, description}}));
}

void BCHttpIngestion::attachToClient() {
    if (httpClient_) httpClient_->setDelegate(std::weak_ptr<BCHttpClientDelegate>(shared_from_this()));
}

std::optional<platform::URL> BCHttpIngestion::buildURLWithBaseURL(
    const std::string &baseURL, const std::string &apiPath, const std::map<std::string, std::string> &queryStrings) {
    std::string text = joinBaseAndPath(baseURL, apiPath);
    std::string query;
    for (const auto &[key, value] : queryStrings) {
        if (!query.empty()) query += "&";
        query += key + "=" + value;
    }
    if (!query.empty()) text += "?" + platform::addingPercentEncoding(query, platform::kURLQueryAllowedCharacters);
    return platform::URL::parse(text);
}

void BCHttpIngestion::setBaseURL(const std::string &baseURL) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    baseURL_ = baseURL;
    std::string current = sendURL_ ? sendURL_->absoluteString() : "(null)";
    auto parsed = platform::URL::parse(joinBaseAndPath(baseURL, apiPath_));
    if (!parsed || !sendURL_) {
        BCLogInfo(kLogTag, "Failed to update HTTP URL %@ with %@", current, baseURL);
        return;
    }
    platform::URLComponents components(*sendURL_);
    components.setScheme(parsed->scheme());
    components.setUser(parsed->user());
    components.setPassword(parsed->password());
    components.setHost(parsed->host());
    components.setPort(parsed->port());
    components.setPath(parsed->path());
    if (auto url = components.url()) {
        sendURL_ = url;
    } else {
        BCLogInfo(kLogTag, "Failed to update HTTP URL %@ with %@", current, baseURL);
    }
}

void BCHttpIngestion::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
    (void)deleteDataOnDisabled;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    enabled_ = isEnabled;
}

void BCHttpIngestion::sendAsync(std::shared_ptr<platform::Object> data, BCSendAsyncCompletionHandler handler) {
    sendAsync(std::move(data), std::nullopt, std::move(handler));
}

void BCHttpIngestion::sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                                BCSendAsyncCompletionHandler handler) {
    sendAsync(std::move(data), eTag, platform::UUID::random().UUIDString(), std::nullopt, std::move(handler));
}

void BCHttpIngestion::sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                                const std::string &callId, std::optional<platform::Data> payload,
                                BCSendAsyncCompletionHandler handler) {
    if (!enabled_) {
        // Refused, but answered: the caller keeps its data and tries again
        // once the ingestion is enabled.
        BCLogError(kLogTag, "The ingestion is disabled; nothing is sent.");
        answerRefusal(handler, callId, kBCHttpClientDisabledErrorCode, "The ingestion is disabled.");
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto headers = getHeadersWithData(data, eTag);
    if (!httpClient_ || !sendURL_) {
        // Without an endpoint nothing can go out; the caller still gets an
        // answer (a transport error: its logs stay and are tried again).
        BCLogError(kLogTag, "Cannot send to the invalid URL %@%@", baseURL_, apiPath_);
        auto error = platform::Error::make(platform::net::kURLErrorDomain, platform::net::kURLErrorBadURL,
                                           {{platform::kLocalizedDescriptionKey, "The ingestion URL is not valid."}});
        if (handler)
            platform::dispatch::async(platform::dispatch::globalQueue(),
                                      [handler, callId, error] { handler(callId, nullptr, std::nullopt, error); });
        return;
    }
    std::weak_ptr<BCHttpIngestion> weakSelf = weak_from_this();
    httpClient_->sendAsync(*sendURL_, getHttpMethod(), headers.value_or(BCHttpHeaders{}), std::move(payload),
                           callsRetryIntervals_, true,
                           [weakSelf, callId, handler](std::optional<platform::Data> responseBody,
                                                       std::shared_ptr<const platform::net::HTTPURLResponse> response,
                                                       platform::ErrorPtr error) {
                               if (auto self = weakSelf.lock()) self->printResponse(response, responseBody, error);
                               if (handler) handler(callId, response, responseBody, error);
                           });
}

std::optional<BCHttpHeaders> BCHttpIngestion::getHeadersWithData(const std::shared_ptr<platform::Object> &,
                                                                 const std::optional<std::string> &) {
    return std::nullopt;
}

std::optional<std::string> BCHttpIngestion::obfuscateResponsePayload(const std::optional<std::string> &) {
    return std::nullopt;
}

void BCHttpIngestion::printResponse(const std::shared_ptr<const platform::net::HTTPURLResponse> &response,
                                    const std::optional<platform::Data> &body, const platform::ErrorPtr &error) {
    if (error) {
        BCLogDebug(kLogTag, "HTTP request error with code: %td, domain: %@, description: %@", error->code(),
                   error->domain(), error->localizedDescription());
        return;
    }
    if (BCLogger::currentLogLevel() >= BCLogLevelDebug) return;
    std::string contentType;
    if (response)
        if (auto value = response->valueForHTTPHeaderField("Content-Type")) contentType = *value;
    std::optional<std::string> payload;
    if (body && !body->empty()) {
        if (startsWith(contentType, "application/json")) {
            payload = obfuscateResponsePayload(BCUtility::prettyPrintJson(body));
        } else if (!contentType.empty() && !startsWith(contentType, "text/") &&
                   !startsWith(contentType, "application/")) {
            payload = "<binary>";
        } else {
            payload = obfuscateResponsePayload(std::string(body->begin(), body->end()));
        }
    }
    BCLogVerbose(kLogTag, "HTTP response received with status code: %tu, payload:\n%@",
                 static_cast<unsigned long>(response ? response->statusCode() : 0), payload);
}

std::optional<std::string> BCHttpIngestion::eTagFromResponse(const platform::net::HTTPURLResponse *response) {
    if (!response) return std::nullopt;
    for (const auto &[name, value] : response->headerFields()) {
        std::string lower = name;
        for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "etag") return value;
    }
    return std::nullopt;
}

std::string BCHttpIngestion::baseURL() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return baseURL_;
}

std::string BCHttpIngestion::apiPath() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return apiPath_;
}

std::optional<platform::URL> BCHttpIngestion::sendURL() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return sendURL_;
}

BCHttpHeaders BCHttpIngestion::httpHeaders() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return httpHeaders_;
}

std::vector<double> BCHttpIngestion::callsRetryIntervals() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return callsRetryIntervals_;
}
