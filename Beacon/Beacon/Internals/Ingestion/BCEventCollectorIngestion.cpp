#include "BCEventCollectorIngestion.h"

#include "BCAbstractLog.h"
#include "BCBeaconIngestion.h"
#include "BCHttpClient.h"
#include "BCLogContainer.h"
#include "BCLogger.h"
#include "platform/foundation/Format.h"

std::shared_ptr<BCEventCollectorIngestion> BCEventCollectorIngestion::make(
    std::shared_ptr<BCHttpClientProtocol> httpClient, const std::string &baseUrl) {
    std::shared_ptr<BCEventCollectorIngestion> ingestion(new BCEventCollectorIngestion(std::move(httpClient), baseUrl));
    ingestion->attachToClient();
    return ingestion;
}

BCEventCollectorIngestion::BCEventCollectorIngestion(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                     const std::string &baseUrl)
    : BCHttpIngestion(std::move(httpClient), baseUrl, platform::format("%@/%@", kApiPathRoot, kApiVersion),
                      {{"Content-Type", kContentType}}, {}, defaultRetryIntervals(), kDefaultMaxNumberOfConnections) {}

void BCEventCollectorIngestion::sendAsync(std::shared_ptr<platform::Object> data,
                                          const std::optional<std::string> &eTag,
                                          BCSendAsyncCompletionHandler handler) {
    const auto container = std::dynamic_pointer_cast<BCLogContainer>(data);
    if (!container || !container->batchId() || !container->isValid()) {
        BCLogError("Beacon", "Log container is not valid.");
        if (handler) {
            handler(container ? container->batchId() : std::nullopt, nullptr, std::nullopt,
                    platform::Error::make(kBCErrorDomain, BCBeaconIngestion::kInvalidContainerErrorCode,
                                          {{platform::kLocalizedDescriptionKey, "Invalid log container."}}));
        }
        return;
    }
    const std::string batchId = *container->batchId();
    BCHttpIngestion::sendAsync(std::move(data), eTag, batchId, payloadWithContainer(*container), std::move(handler));
}

std::optional<BCHttpHeaders> BCEventCollectorIngestion::getHeadersWithData(const std::shared_ptr<platform::Object> &,
                                                                           const std::optional<std::string> &) {
    return httpHeaders();
}

platform::Data BCEventCollectorIngestion::payloadWithContainer(const BCLogContainer &container) {
    std::string payload;
    for (const auto &log : container.logs()) {
        const auto modelLog = std::dynamic_pointer_cast<BCAbstractLog>(log);
        const auto line = modelLog ? modelLog->serializeLogWithPrettyPrinting(false) : std::nullopt;
        if (!line) continue;
        payload += *line;
        payload += "\n";
    }
    return platform::Data(payload.begin(), payload.end());
}
