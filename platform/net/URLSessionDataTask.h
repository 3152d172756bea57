#pragma once
// One request of a URL session. Created suspended; resume() hands it to the
// session's transfer thread. Its completion runs exactly once, always
// asynchronously on the session's delegate queue: with the body and the
// response, or with an error in "NSURLErrorDomain" (-999 when cancelled).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLRequest.h"

namespace platform::net {

class URLSession;

using DataTaskCompletion =
    std::function<void(std::optional<Data> data, std::shared_ptr<const HTTPURLResponse> response, ErrorPtr error)>;

class URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
public:
    URLSessionDataTask(std::weak_ptr<URLSession> session, std::shared_ptr<dispatch::Queue> delegateQueue,
                       uint64_t identifier, URLRequest request, DataTaskCompletion completion);

    uint64_t taskIdentifier() const { return identifier_; }
    const URLRequest &originalRequest() const { return request_; }
    // Starts the request; later calls do nothing.
    void resume();
    // Stops the request; its completion gets the cancellation error unless it
    // has finished already. Safe from any thread, any number of times.
    void cancel();

private:
    friend class URLSession;
    friend class URLSessionEngine;
    // Queues the completion on the delegate queue, the first time only.
    void finish(std::optional<Data> data, std::shared_ptr<const HTTPURLResponse> response, ErrorPtr error);
    bool isFinished() const { return completed_; }

    std::weak_ptr<URLSession> session_;
    const std::shared_ptr<dispatch::Queue> delegateQueue_;
    const uint64_t identifier_;
    const URLRequest request_;
    DataTaskCompletion completion_;
    std::atomic<bool> resumed_{false};
    std::atomic<bool> completed_{false};
};

}  // namespace platform::net
