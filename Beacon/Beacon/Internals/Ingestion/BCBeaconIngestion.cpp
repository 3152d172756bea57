// The Beacon ingestion endpoint.
#include "BCBeaconIngestion.h"

#include "BCHttpClient.h"
#include "BCHttpUtil.h"
#include "BCLogger.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

std::shared_ptr<BCBeaconIngestion> BCBeaconIngestion::make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                           const std::string &baseUrl, const std::string &installId) {
    std::shared_ptr<BCBeaconIngestion> ingestion(new BCBeaconIngestion(std::move(httpClient), baseUrl, installId));
    ingestion->attachToClient();
    return ingestion;
}

BCBeaconIngestion::BCBeaconIngestion(std::shared_ptr<BCHttpClientProtocol> httpClient, const std::string &baseUrl,
                                     const std::string &installId)
    : BCHttpIngestion(std::move(httpClient), baseUrl, kApiPath,
                      BCHttpHeaders{{"Content-Type", "application/json"}, {kInstallIdHeader, installId}},
                      {{"api-version", kApiVersion}}, defaultRetryIntervals(), kDefaultMaxNumberOfConnections) {
    willSendHTTPRequestToURL = [this](const platform::URL &url, const BCHttpHeaders &headers) {
        logRequest(url, headers);
    };
}

std::optional<std::string> BCBeaconIngestion::appSecret() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return appSecret_;
}

void BCBeaconIngestion::setAppSecret(std::optional<std::string> appSecret) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    appSecret_ = std::move(appSecret);
}

bool BCBeaconIngestion::isReadyToSend() const { return appSecret().has_value(); }

void BCBeaconIngestion::sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                                  BCSendAsyncCompletionHandler handler) {
    auto container = std::dynamic_pointer_cast<BCLogContainer>(data);
    // A container whose body cannot be written is as unsendable as an
    // invalid one: it is refused here rather than posted empty.
    std::optional<std::string> body = container && container->isValid() ? container->serializeLog() : std::nullopt;
    if (!body) {
        auto error = platform::Error::make(kBCErrorDomain, kInvalidContainerErrorCode,
                                           {{platform::kLocalizedDescriptionKey, "Invalid log container."}});
        BCLogError(kLogTag, "%@", error->localizedDescription());
        if (handler) handler(container ? container->batchId() : std::nullopt, nullptr, std::nullopt, error);
        return;
    }
    auto batchId = container->batchId();
    if (!appSecret()) {
        BCLogError(kLogTag, "Beacon ingestion is used without app secret.");
        answerRefusal(handler, batchId, kMissingAppSecretErrorCode, "The app secret is not set.");
        return;
    }
    BCHttpIngestion::sendAsync(
        std::move(data), eTag, platform::UUID::random().UUIDString(), platform::Data(body->begin(), body->end()),
        [batchId, handler](const std::optional<std::string> &,
                           std::shared_ptr<const platform::net::HTTPURLResponse> response,
                           std::optional<platform::Data> responseData, platform::ErrorPtr error) {
            if (handler) handler(batchId, response, responseData, error);
        });
}

std::optional<BCHttpHeaders> BCBeaconIngestion::getHeadersWithData(const std::shared_ptr<platform::Object> &,
                                                                   const std::optional<std::string> &) {
    BCHttpHeaders headers = httpHeaders();
    if (auto secret = appSecret()) headers[kAppSecretHeader] = *secret;
    return headers;
}

std::optional<std::string> BCBeaconIngestion::obfuscateResponsePayload(const std::optional<std::string> &payload) {
    return payload;
}

void BCBeaconIngestion::logRequest(const platform::URL &url, const BCHttpHeaders &headers) const {
    if (BCLogger::currentLogLevel() >= BCLogLevelDebug) return;
    std::string lines;
    for (const auto &[name, value] : headers) {
        if (!lines.empty()) lines += ", ";
        lines += platform::format("%@ = %@", name, name == kAppSecretHeader ? BCHttpUtil::hideSecret(value) : value);
    }
    BCLogVerbose(kLogTag, "URL: %@", url.absoluteString());
    BCLogVerbose(kLogTag, "Headers: %@", lines);
}
