#pragma once
// The endpoint that takes the batches of logs: "/logs?api-version=1.0.0"
// with "App-Secret" and "Install-ID", the batch body as JSON, and the secret
// masked when the request headers are logged.
#include <memory>
#include <optional>
#include <string>

#include "BCHttpIngestion.h"
#include "BCLogContainer.h"

class BCBeaconIngestion : public BCHttpIngestion {
public:
    static constexpr const char *kApiPath = "/logs";
    static constexpr const char *kApiVersion = "1.0.0";
    static constexpr const char *kAppSecretHeader = "App-Secret";
    static constexpr const char *kInstallIdHeader = "Install-ID";
    static constexpr int64_t kInvalidContainerErrorCode = 1;
    static constexpr int64_t kMissingAppSecretErrorCode = 2;

    static std::shared_ptr<BCBeaconIngestion> make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                   const std::string &baseUrl, const std::string &installId);

    std::optional<std::string> appSecret() const;
    void setAppSecret(std::optional<std::string> appSecret);

    bool isReadyToSend() const override;
    // The data must be a valid BCLogContainer; anything else completes at
    // once with the invalid-container error. Without an app secret it
    // completes at once with kMissingAppSecretErrorCode and no response, so
    // that the caller keeps the batch. Either way nothing is sent; the call
    // id of the answer is the batch id.
    using BCHttpIngestion::sendAsync;
    void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                   BCSendAsyncCompletionHandler handler) override;

    std::optional<BCHttpHeaders> getHeadersWithData(const std::shared_ptr<platform::Object> &data,
                                                    const std::optional<std::string> &eTag) override;
    std::optional<std::string> obfuscateResponsePayload(const std::optional<std::string> &payload) override;

    std::string className() const override { return "BCBeaconIngestion"; }

private:
    BCBeaconIngestion(std::shared_ptr<BCHttpClientProtocol> httpClient, const std::string &baseUrl,
                      const std::string &installId);
    void logRequest(const platform::URL &url, const BCHttpHeaders &headers) const;

    std::optional<std::string> appSecret_;
};
