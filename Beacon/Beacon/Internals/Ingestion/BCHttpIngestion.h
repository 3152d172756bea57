#pragma once
// The common base of the ingestion endpoints: one endpoint (base URL, API
// path and query), the static headers, the HTTP client and the retry
// intervals. It gives every send a call id, asks its subclass for the
// headers, hands the request with the body its subclass wrote to the client
// and logs the response. It is the client's delegate.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCHttpClientDelegate.h"
#include "BCHttpClientProtocol.h"
#include "BCIngestionProtocol.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"

class BCHttpIngestion : public platform::Object,
                        public BCIngestionProtocol,
                        public BCHttpClientDelegate,
                        public std::enable_shared_from_this<BCHttpIngestion> {
public:
    static constexpr long kDefaultMaxNumberOfConnections = 4;
    static const std::vector<double> &defaultRetryIntervals();  // 10, 300, 1200 s

    // Makes the ingestion and sets it as the client's delegate.
    static std::shared_ptr<BCHttpIngestion> make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                 const std::string &baseUrl, const std::string &apiPath,
                                                 BCHttpHeaders headers,
                                                 std::map<std::string, std::string> queryStrings);
    static std::shared_ptr<BCHttpIngestion> make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                 const std::string &baseUrl, const std::string &apiPath,
                                                 BCHttpHeaders headers, std::map<std::string, std::string> queryStrings,
                                                 std::vector<double> retryIntervals,
                                                 long maxNumberOfConnections = kDefaultMaxNumberOfConnections);

    // BCIngestionProtocol. The first form is the second without an eTag;
    // subclasses override the second. This class sends no body.
    bool isReadyToSend() const override { return true; }
    void sendAsync(std::shared_ptr<platform::Object> data, BCSendAsyncCompletionHandler handler) override;
    void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                   BCSendAsyncCompletionHandler handler) override;
    // Sends the payload with the call id. Every call is answered once: a
    // disabled ingestion answers at once with kBCHttpClientDisabledErrorCode,
    // an endpoint without a valid URL soon after with a bad-URL error; both
    // without a response, so the caller keeps the data to try again.
    void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                   const std::string &callId, std::optional<platform::Data> payload,
                   BCSendAsyncCompletionHandler handler);
    // BCEnable: the second flag has no effect here.
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
    void setEnabled(bool isEnabled) { enabled_ = isEnabled; }
    bool isEnabled() const { return enabled_; }

    // base URL and API path joined by one slash (whether or not the base
    // ends with one), then "?" and the pairs "k=v" joined by "&",
    // percent-encoded as a whole with the query set; absent when the text
    // does not parse.
    static std::optional<platform::URL> buildURLWithBaseURL(const std::string &baseURL, const std::string &apiPath,
                                                            const std::map<std::string, std::string> &queryStrings);
    // Replaces scheme, user, password, host, port and path of the send URL
    // with those of the new base URL and the API path; the query stays.
    void setBaseURL(const std::string &baseURL);

    // Hooks for subclasses; this class answers absent.
    virtual std::optional<BCHttpHeaders> getHeadersWithData(const std::shared_ptr<platform::Object> &data,
                                                            const std::optional<std::string> &eTag);
    virtual std::optional<std::string> obfuscateResponsePayload(const std::optional<std::string> &payload);
    virtual std::string getHttpMethod() const { return "POST"; }

    void printResponse(const std::shared_ptr<const platform::net::HTTPURLResponse> &response,
                       const std::optional<platform::Data> &body, const platform::ErrorPtr &error);
    // The value of the first header whose lower-case name is "etag".
    static std::optional<std::string> eTagFromResponse(const platform::net::HTTPURLResponse *response);

    // Copies, read under the lock.
    std::string baseURL() const;
    std::string apiPath() const;
    std::optional<platform::URL> sendURL() const;
    BCHttpHeaders httpHeaders() const;
    std::shared_ptr<BCHttpClientProtocol> httpClient() const { return httpClient_; }
    long maxNumberOfConnections() const { return maxNumberOfConnections_; }
    std::vector<double> callsRetryIntervals() const;

    std::string className() const override { return "BCHttpIngestion"; }

protected:
    BCHttpIngestion(std::shared_ptr<BCHttpClientProtocol> httpClient, const std::string &baseUrl,
                    const std::string &apiPath, BCHttpHeaders headers,
                    const std::map<std::string, std::string> &queryStrings, std::vector<double> retryIntervals,
                    long maxNumberOfConnections);
    // Sets this object as the client's delegate; the factories call it.
    void attachToClient();
    // Answers a send that is refused before anything goes out: once, with no
    // response and an error of this domain, so that the caller keeps its data.
    static void answerRefusal(const BCSendAsyncCompletionHandler &handler, const std::optional<std::string> &callId,
                              int64_t code, const std::string &description);

    mutable std::recursive_mutex mutex_;

private:
    std::atomic<bool> enabled_{true};
    std::string baseURL_;
    std::string apiPath_;
    std::optional<platform::URL> sendURL_;
    BCHttpHeaders httpHeaders_;
    const std::shared_ptr<BCHttpClientProtocol> httpClient_;
    const long maxNumberOfConnections_;
    std::vector<double> callsRetryIntervals_;
};
