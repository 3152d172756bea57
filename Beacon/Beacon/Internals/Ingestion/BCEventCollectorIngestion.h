#pragma once
// The endpoint of common-schema logs: "/EventCollector/1.0", one JSON line
// per log ("application/x-json-stream; charset=utf-8"). The call id of each
// send is the batch id, which the channel unit looks its batch up by.
#include <memory>
#include <optional>
#include <string>

#include "BCHttpIngestion.h"
#include "BCLogContainer.h"

class BCEventCollectorIngestion : public BCHttpIngestion {
public:
    static constexpr const char *kApiPathRoot = "/EventCollector";
    static constexpr const char *kApiVersion = "1.0";
    static constexpr const char *kContentType = "application/x-json-stream; charset=utf-8";

    static std::shared_ptr<BCEventCollectorIngestion> make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                           const std::string &baseUrl);

    // The data must be a valid BCLogContainer; anything else completes at
    // once with the invalid-container error and sends nothing.
    using BCHttpIngestion::sendAsync;
    void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                   BCSendAsyncCompletionHandler handler) override;

    std::optional<BCHttpHeaders> getHeadersWithData(const std::shared_ptr<platform::Object> &data,
                                                    const std::optional<std::string> &eTag) override;

    std::string className() const override { return "BCEventCollectorIngestion"; }

private:
    BCEventCollectorIngestion(std::shared_ptr<BCHttpClientProtocol> httpClient, const std::string &baseUrl);
    // The body: each log that serializes, one compact JSON line apiece.
    static platform::Data payloadWithContainer(const BCLogContainer &container);
};
