// One request of a URL session.
#include "platform/net/URLSessionDataTask.h"

#include "platform/net/URLSession.h"

namespace platform::net {

URLSessionDataTask::URLSessionDataTask(std::weak_ptr<URLSession> session,
                                       std::shared_ptr<dispatch::Queue> delegateQueue, uint64_t identifier,
                                       URLRequest request, DataTaskCompletion completion)
    : session_(std::move(session)), delegateQueue_(std::move(delegateQueue)), identifier_(identifier),
      request_(std::move(request)), completion_(std::move(completion)) {}

void URLSessionDataTask::resume() {
    if (resumed_.exchange(true)) return;
    if (auto session = session_.lock()) {
        session->start(shared_from_this());
    } else {
        finish(std::nullopt, nullptr, URLSession::cancelledError(request_.url));
    }
}

void URLSessionDataTask::cancel() {
    if (completed_) return;
    if (auto session = session_.lock()) {
        session->cancel(shared_from_this());
    } else {
        finish(std::nullopt, nullptr, URLSession::cancelledError(request_.url));
    }
}

void URLSessionDataTask::finish(std::optional<Data> data, std::shared_ptr<const HTTPURLResponse> response,
                                ErrorPtr error) {
    if (completed_.exchange(true)) return;
    auto completion = std::move(completion_);
    completion_ = nullptr;
    if (!completion) return;
    delegateQueue_->async(
        [completion = std::move(completion), data = std::move(data), response = std::move(response),
         error = std::move(error)]() mutable { completion(std::move(data), std::move(response), std::move(error)); });
}

}  // namespace platform::net
