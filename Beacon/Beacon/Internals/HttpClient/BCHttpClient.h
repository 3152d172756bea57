#pragma once
// The HTTP client of the telemetry core, on a URL session. Every change of
// its state (a send, pause, resume, enable, an attempt ending, a retry timer
// firing) runs on one serial queue of the client; handlers run from that
// queue with no lock held, never on the transfer thread.
//
// - Pausing (the network became unreachable) cancels the requests in flight
//   without completing their calls: they wait, keep their attempt counts and
//   go out again on resume. Retry timers stop while paused.
// - Disabling completes every call at once with the error 100 of
//   "io.Beacon.SDK.ErrorDomain"; sends while disabled complete with 101.
// - Destroying the client completes what is pending the same way.
// - A 3xx answer is a redirect the session would not follow (another scheme,
//   host or port): logged as an error and retried like a 5xx, never a
//   delivery.
// - A host under the reserved ".invalid" domain (the built-in endpoints
//   until a server is set) is neither looked up nor sent to: each attempt
//   ends at once as a host that cannot be found and is retried as usual (the
//   logs stay stored), and the client says once, as a warning, that logs
//   are kept and not sent until a server is set.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "BCHttpCall.h"
#include "BCHttpClientProtocol.h"
#include "BC_Reachability.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSession.h"

inline constexpr const char *kBCErrorDomain = "io.Beacon.SDK.ErrorDomain";
inline constexpr int64_t kBCHttpClientCancelledErrorCode = 100;
inline constexpr int64_t kBCHttpClientDisabledErrorCode = 101;

struct BCHttpClientConfiguration {
    double connectTimeout = 60;  // seconds
    double idleTimeout = 60;     // seconds below one byte per second
    // Watch the network and pause while it is unreachable.
    bool observeReachability = true;
    // The watcher to observe; the internet watcher when none is given.
    std::shared_ptr<BC_Reachability> reachability;
};

class BCHttpClient : public BCHttpClientProtocol, public std::enable_shared_from_this<BCHttpClient> {
public:
    // Default settings, pausing while the internet is unreachable.
    static std::shared_ptr<BCHttpClient> make();
    static std::shared_ptr<BCHttpClient> make(const BCHttpClientConfiguration &configuration);
    ~BCHttpClient() override;
    BCHttpClient(const BCHttpClient &) = delete;
    BCHttpClient &operator=(const BCHttpClient &) = delete;

    void sendAsync(const platform::URL &url, const std::string &method, const BCHttpHeaders &headers,
                   std::optional<platform::Data> data, std::vector<double> retryIntervals, bool compressionEnabled,
                   BCHttpRequestCompletionHandler completionHandler) override;
    void setDelegate(std::weak_ptr<BCHttpClientDelegate> delegate) override;

    void pause();
    void resume();
    void setEnabled(bool isEnabled);

    bool isPaused() const;
    bool isEnabled() const;
    std::shared_ptr<BC_Reachability> reachability() const { return reachability_; }

private:
    explicit BCHttpClient(const BCHttpClientConfiguration &configuration);
    void observeReachability(const BCHttpClientConfiguration &configuration);
    void startCall(const std::shared_ptr<BCHttpCall> &call);
    void callFinished(const std::shared_ptr<BCHttpCall> &call, uint64_t generation, std::optional<platform::Data> data,
                      std::shared_ptr<const platform::net::HTTPURLResponse> response, platform::ErrorPtr error);
    static void logRedirect(const BCHttpCall &call, const platform::net::HTTPURLResponse &response);
    void retryTimerFired(const std::shared_ptr<BCHttpCall> &call, uint64_t generation);
    void armRetry(const std::shared_ptr<BCHttpCall> &call, double delaySeconds);
    void completeCall(const std::shared_ptr<BCHttpCall> &call, std::optional<platform::Data> data,
                      std::shared_ptr<const platform::net::HTTPURLResponse> response, platform::ErrorPtr error);
    // Completes every call with the client's error, at once or (deferred)
    // as later work of the queue.
    void cancelAll(int64_t code, const std::string &description, bool deferHandlers = false);
    static platform::ErrorPtr clientError(int64_t code, const std::string &description);

    std::shared_ptr<platform::dispatch::Queue> queue_;
    std::shared_ptr<platform::net::URLSession> session_;
    std::shared_ptr<BC_Reachability> reachability_;
    platform::NotificationCenter::Token observerToken_ = 0;

    mutable std::mutex mutex_;  // guards the fields below (read from any thread)
    std::weak_ptr<BCHttpClientDelegate> delegate_;
    bool paused_ = false;
    bool enabled_ = true;
    // The calls not yet completed; touched only on queue_.
    std::vector<std::shared_ptr<BCHttpCall>> calls_;
    // Whether the client said that no server is set; touched only on queue_.
    bool unsetServerSaid_ = false;
};
