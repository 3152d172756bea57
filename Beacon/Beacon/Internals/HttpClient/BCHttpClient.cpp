// The HTTP client: calls with retries, paused while the network is
// unreachable. All state changes run on the client's serial queue.
#include "BCHttpClient.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "BCHttpUtil.h"
#include "BCLogger.h"
#include "platform/foundation/Error.h"

using platform::net::HTTPURLResponse;

namespace {

constexpr const char *kLogTag = "Beacon";

std::string originOf(const platform::URL &url) {
    return url.scheme().value_or("") + "://" + url.host().value_or("") +
           (url.port() ? ":" + std::to_string(*url.port()) : std::string());
}

// Names under the reserved ".invalid" domain never resolve (the built-in
// endpoints until a server is set).
bool isReservedInvalidName(const platform::URL &url) {
    std::string host = url.host().value_or("");
    for (auto &c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!host.empty() && host.back() == '.') host.pop_back();
    constexpr std::string_view kDomain = ".invalid";
    return host == kDomain.substr(1) || (host.size() > kDomain.size() && host.ends_with(kDomain));
}

bool isCancellation(const platform::ErrorPtr &error) {
    return error && error->domain() == platform::net::kURLErrorDomain &&
           error->code() == platform::net::kURLErrorCancelled;
}

}  // namespace

std::shared_ptr<BCHttpClient> BCHttpClient::make() { return make(BCHttpClientConfiguration{}); }

std::shared_ptr<BCHttpClient> BCHttpClient::make(const BCHttpClientConfiguration &configuration) {
    std::shared_ptr<BCHttpClient> client(new BCHttpClient(configuration));
    client->observeReachability(configuration);
    return client;
}

BCHttpClient::BCHttpClient(const BCHttpClientConfiguration &configuration)
    : queue_(platform::dispatch::Queue::createSerial("io.beacon.sdk.HttpClient")) {
    platform::net::URLSession::Configuration sessionConfiguration;
    sessionConfiguration.connectTimeout = configuration.connectTimeout;
    sessionConfiguration.idleTimeout = configuration.idleTimeout;
    sessionConfiguration.delegateQueue = queue_;
    session_ = platform::net::URLSession::make(sessionConfiguration);
}

void BCHttpClient::observeReachability(const BCHttpClientConfiguration &configuration) {
    if (!configuration.observeReachability) return;
    reachability_ =
        configuration.reachability ? configuration.reachability : BC_Reachability::reachabilityForInternetConnection();
    if (!reachability_) return;
    std::weak_ptr<BCHttpClient> weakSelf = weak_from_this();
    observerToken_ = platform::NotificationCenter::defaultCenter()->addObserverForName(
        kBNNetworkReachabilityChangedNotification, reachability_.get(), [weakSelf](const platform::Notification &) {
            auto self = weakSelf.lock();
            if (!self || !self->reachability_) return;
            if (self->reachability_->currentReachabilityStatus() == NotReachable) {
                self->pause();
            } else {
                self->resume();
            }
        });
    reachability_->startNotifier();
}

BCHttpClient::~BCHttpClient() {
    if (observerToken_) platform::NotificationCenter::defaultCenter()->removeObserver(observerToken_);
    if (reachability_) reachability_->stopNotifier();
    // Nobody waits for ever: what is pending completes with the cancel
    // error, later on the queue (which outlives us while it has work), as
    // the handlers must not run inside this destructor.
    auto drain = [this] {
        cancelAll(kBCHttpClientCancelledErrorCode, "Request cancelled because the HTTP client was destroyed.", true);
    };
    if (queue_->isCurrent()) {
        drain();
    } else {
        queue_->sync(drain);
    }
    session_->invalidateAndCancel();
}

platform::ErrorPtr BCHttpClient::clientError(int64_t code, const std::string &description) {
    return platform::Error::make(kBCErrorDomain, code, {{platform::kLocalizedDescriptionKey, description}});
}

void BCHttpClient::sendAsync(const platform::URL &url, const std::string &method, const BCHttpHeaders &headers,
                             std::optional<platform::Data> data, std::vector<double> retryIntervals,
                             bool compressionEnabled, BCHttpRequestCompletionHandler completionHandler) {
    auto call = std::make_shared<BCHttpCall>(url, method, headers, std::move(data), std::move(retryIntervals),
                                             compressionEnabled, std::move(completionHandler));
    // Held strongly until queued work has taken the call in, so that it is
    // either sent or completed.
    auto self = shared_from_this();
    queue_->async([self, call] {
        if (!self->isEnabled()) {
            if (auto handler = call->completionHandler())
                handler(std::nullopt, nullptr,
                        clientError(kBCHttpClientDisabledErrorCode, "The HTTP client is disabled."));
            return;
        }
        self->calls_.push_back(call);
        if (!self->isPaused()) self->startCall(call);
    });
}

void BCHttpClient::setDelegate(std::weak_ptr<BCHttpClientDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
}

bool BCHttpClient::isPaused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

bool BCHttpClient::isEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

void BCHttpClient::startCall(const std::shared_ptr<BCHttpCall> &call) {
    call->inProgress = true;
    call->cancelledForPause = false;
    uint64_t generation = ++call->generation;
    std::weak_ptr<BCHttpClient> weakSelf = weak_from_this();
    if (isReservedInvalidName(call->url())) {
        // Nothing is looked up or sent: the attempt ends as a host that
        // cannot be found (later on the queue, as a transfer would), and is
        // retried as any other; no failure line for it.
        call->transportFailureLogged = true;
        if (!unsetServerSaid_) {
            unsetServerSaid_ = true;
            BCLogWarning(kLogTag,
                         "Logs are kept on this computer and not sent until a server is set: %@ is a reserved name "
                         "that never resolves. Set one with BCBeacon::setLogUrl, or with PLOTWICK_DEFAULT_LOG_URL "
                         "when building.",
                         originOf(call->url()));
        }
        auto error = platform::Error::make(
            platform::net::kURLErrorDomain, platform::net::kURLErrorCannotFindHost,
            {{platform::kLocalizedDescriptionKey, "A name under \".invalid\" is never looked up."}});
        queue_->async([weakSelf, call, generation, error] {
            if (auto self = weakSelf.lock()) self->callFinished(call, generation, std::nullopt, nullptr, error);
        });
        return;
    }
    std::shared_ptr<BCHttpClientDelegate> delegate;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delegate = delegate_.lock();
    }
    if (delegate && delegate->willSendHTTPRequestToURL)
        delegate->willSendHTTPRequestToURL(call->url(), call->headers());

    platform::net::URLRequest request{call->url(), call->method(), {}, call->data()};
    for (const auto &[name, value] : call->headers()) request.headers.emplace_back(name, value);
    call->task = session_->dataTask(
        std::move(request),
        [weakSelf, call, generation](std::optional<platform::Data> data,
                                     std::shared_ptr<const HTTPURLResponse> response, platform::ErrorPtr error) {
            if (auto self = weakSelf.lock())
                self->callFinished(call, generation, std::move(data), std::move(response), std::move(error));
        });
    call->task->resume();
}

void BCHttpClient::callFinished(const std::shared_ptr<BCHttpCall> &call, uint64_t generation,
                                std::optional<platform::Data> data, std::shared_ptr<const HTTPURLResponse> response,
                                platform::ErrorPtr error) {
    if (generation != call->generation || std::find(calls_.begin(), calls_.end(), call) == calls_.end()) return;
    call->inProgress = false;
    call->task = nullptr;
    if (call->cancelledForPause && isCancellation(error)) {
        // Not an outcome: the call waits for the network, or goes out again
        // at once if the client has resumed meanwhile.
        call->cancelledForPause = false;
        if (!isPaused()) startCall(call);
        return;
    }
    call->cancelledForPause = false;
    if (isCancellation(error)) {
        completeCall(call, std::move(data), std::move(response), std::move(error));
        return;
    }
    if (error && !call->transportFailureLogged) {
        // Curl's reason, and the origin only: the path and query may carry
        // secrets.
        call->transportFailureLogged = true;
        std::string reason = error->localizedDescription();
        while (!reason.empty() && (reason.back() == '.' || std::isspace(static_cast<unsigned char>(reason.back()))))
            reason.pop_back();
        BCLogError(kLogTag, "Sending to %@ failed: %@.", originOf(call->url()), reason);
    }
    long status = response ? response->statusCode() : 0;
    if (status >= 300 && status < 400) logRedirect(*call, *response);
    if (BCHttpUtil::isRecoverableError(status)) {
        if (auto delay = call->delayForRetry(response.get())) {
            call->retryCount++;
            armRetry(call, *delay);
            return;
        }
    }
    completeCall(call, std::move(data), std::move(response), std::move(error));
}

void BCHttpClient::logRedirect(const BCHttpCall &call, const HTTPURLResponse &response) {
    // The session follows redirects to the same scheme, host and port only;
    // a 3xx that reaches here points elsewhere, and nothing was delivered.
    const auto location = response.valueForHTTPHeaderField("Location");
    std::optional<std::string> target;
    if (location) {
        if (auto url = platform::URL::parse(*location); url && url->host()) {
            target = url->scheme().value_or("") + "://" + *url->host() +
                     (url->port() ? ":" + std::to_string(*url->port()) : std::string());
        } else {
            target = *location;
        }
    }
    BCLogError(kLogTag,
               "Not following the redirect (HTTP status %ld) from %@ to %@: the request failed and is retried.",
               response.statusCode(), originOf(call.url()), target);
}

void BCHttpClient::armRetry(const std::shared_ptr<BCHttpCall> &call, double delaySeconds) {
    uint64_t generation = ++call->generation;
    // While paused the call just waits; resume sends it at once.
    if (isPaused()) return;
    auto timer = platform::dispatch::TimerSource::create(queue_);
    std::weak_ptr<BCHttpClient> weakSelf = weak_from_this();
    std::weak_ptr<BCHttpCall> weakCall = call;
    timer->setEventHandler([weakSelf, weakCall, generation] {
        auto self = weakSelf.lock();
        auto call = weakCall.lock();
        if (self && call) self->retryTimerFired(call, generation);
    });
    timer->setTimer(std::max(0.0, delaySeconds), 0);
    call->retryTimer = timer;
    timer->resume();
}

void BCHttpClient::retryTimerFired(const std::shared_ptr<BCHttpCall> &call, uint64_t generation) {
    if (generation != call->generation || std::find(calls_.begin(), calls_.end(), call) == calls_.end()) return;
    if (call->retryTimer) call->retryTimer->cancel();
    call->retryTimer = nullptr;
    if (!isPaused()) startCall(call);
}

void BCHttpClient::completeCall(const std::shared_ptr<BCHttpCall> &call, std::optional<platform::Data> data,
                                std::shared_ptr<const HTTPURLResponse> response, platform::ErrorPtr error) {
    calls_.erase(std::remove(calls_.begin(), calls_.end(), call), calls_.end());
    ++call->generation;
    if (call->retryTimer) call->retryTimer->cancel();
    call->retryTimer = nullptr;
    if (auto handler = call->completionHandler()) handler(std::move(data), std::move(response), std::move(error));
}

void BCHttpClient::pause() {
    std::weak_ptr<BCHttpClient> weakSelf = weak_from_this();
    queue_->async([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->paused_) return;
            self->paused_ = true;
        }
        for (auto &call : self->calls_) {
            if (call->inProgress && call->task) {
                call->cancelledForPause = true;
                call->task->cancel();
            }
            // A waiting retry goes out at resume, at once.
            if (call->retryTimer) {
                call->retryTimer->cancel();
                call->retryTimer = nullptr;
                ++call->generation;
            }
        }
    });
}

void BCHttpClient::resume() {
    std::weak_ptr<BCHttpClient> weakSelf = weak_from_this();
    queue_->async([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (!self->paused_) return;
            self->paused_ = false;
        }
        auto calls = self->calls_;
        for (auto &call : calls)
            if (!call->inProgress && !call->retryTimer) self->startCall(call);
    });
}

void BCHttpClient::setEnabled(bool isEnabled) {
    std::weak_ptr<BCHttpClient> weakSelf = weak_from_this();
    queue_->async([weakSelf, isEnabled] {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->enabled_ = isEnabled;
        }
        if (!isEnabled)
            self->cancelAll(kBCHttpClientCancelledErrorCode, "Request cancelled because the HTTP client was disabled.");
    });
}

void BCHttpClient::cancelAll(int64_t code, const std::string &description, bool deferHandlers) {
    auto calls = std::move(calls_);
    calls_.clear();
    auto error = clientError(code, description);
    for (auto &call : calls) {
        ++call->generation;
        if (call->retryTimer) call->retryTimer->cancel();
        call->retryTimer = nullptr;
        if (call->task) call->task->cancel();
        call->task = nullptr;
        auto handler = call->completionHandler();
        if (!handler) continue;
        if (deferHandlers) {
            queue_->async([handler, error] { handler(std::nullopt, nullptr, error); });
        } else {
            handler(std::nullopt, nullptr, error);
        }
    }
}
