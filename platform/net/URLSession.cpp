// A URL session: tasks handed to the transfer thread of its engine.
#include "platform/net/URLSession.h"

#include "platform/foundation/Error.h"
#include "platform/net/URLSessionEngine.h"

namespace platform::net {

std::shared_ptr<URLSession> URLSession::make(Configuration configuration) {
    if (!configuration.delegateQueue)
        configuration.delegateQueue = dispatch::Queue::createSerial("platform.net.URLSession.delegate");
    return std::shared_ptr<URLSession>(new URLSession(std::move(configuration)));
}

URLSession::URLSession(Configuration configuration)
    : configuration_(std::move(configuration)), engine_(URLSessionEngine::make(configuration_)) {}

URLSession::~URLSession() {
    if (engine_) engine_->shutdown();
}

ErrorPtr URLSession::cancelledError(const URL &url) {
    return Error::make(kURLErrorDomain, kURLErrorCancelled,
                       {{kLocalizedDescriptionKey, "cancelled"}, {kURLErrorFailingURLStringKey, url.absoluteString()}});
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request, DataTaskCompletion completion) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::make_shared<URLSessionDataTask>(weak_from_this(), configuration_.delegateQueue, nextIdentifier_++,
                                                std::move(request), std::move(completion));
}

void URLSession::invalidateAndCancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        invalidated_ = true;
    }
    if (engine_) engine_->shutdown();
}

void URLSession::start(const std::shared_ptr<URLSessionDataTask> &task) {
    bool refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refused = invalidated_ || !engine_;
    }
    if (refused) {
        task->finish(std::nullopt, nullptr, cancelledError(task->originalRequest().url));
        return;
    }
    engine_->add(task);
}

void URLSession::cancel(const std::shared_ptr<URLSessionDataTask> &task) {
    if (engine_) {
        engine_->cancel(task);
    } else {
        task->finish(std::nullopt, nullptr, cancelledError(task->originalRequest().url));
    }
}

}  // namespace platform::net
