#pragma once
// An ingestion endpoint: sends one data object (a batch) and reports the
// outcome with the call id.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BCEnable.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/net/HTTPURLResponse.h"

using BCSendAsyncCompletionHandler = std::function<void(const std::optional<std::string> &callId,
                                                        std::shared_ptr<const platform::net::HTTPURLResponse> response,
                                                        std::optional<platform::Data> data, platform::ErrorPtr error)>;

class BCIngestionProtocol : public BCEnable {
public:
    // Whether the endpoint can send now.
    virtual bool isReadyToSend() const = 0;
    virtual void sendAsync(std::shared_ptr<platform::Object> data, BCSendAsyncCompletionHandler handler) = 0;
    virtual void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                           BCSendAsyncCompletionHandler handler) = 0;
};
