#pragma once
// A URL session on libcurl: one multi handle driven by a thread of its own,
// which makes every curl call. Other threads hand it requests and
// cancellations through a locked queue and wake it.
//
// - Completions run on the delegate queue (a serial queue of the session when
//   none is given), never on the transfer thread.
// - Only http and https are spoken. A redirect (301, 302, 307, 308) is
//   followed, at most 10 times, only to the same scheme, host and port, and
//   with the same method, header fields and body; any other redirect is not
//   followed and its 3xx response is the task's answer.
// - A request or header field holding CR, LF or NUL is refused with -1000.
// - A transfer that cannot connect within connectTimeout seconds, or that
//   moves less than one byte per second for idleTimeout seconds, fails with
//   -1001; there is no limit on the total time.
// - SIGPIPE is blocked on the transfer thread, so a write to a closed peer
//   is an error, not the end of the process.
// - A child made by fork has no transfer thread: it must make its own session.
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/net/URLSessionDataTask.h"

namespace platform::net {

inline constexpr const char *kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char *kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";
inline constexpr const char *kCURLCodeKey = "CURLcode";
enum URLErrorCode : int64_t {
    kURLErrorUnknown = -1,
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorUnsupportedURL = -1002,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorHTTPTooManyRedirects = -1007,
    kURLErrorDataLengthExceedsMaximum = -1103,
    kURLErrorSecureConnectionFailed = -1200,
    kURLErrorServerCertificateUntrusted = -1202,
};

class URLSessionEngine;

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    struct Configuration {
        double connectTimeout = 60;  // seconds
        double idleTimeout = 60;     // seconds below one byte per second
        long maxConnectionsPerHost = 6;
        size_t maxResponseBodySize = 10 * 1024 * 1024;
        std::shared_ptr<dispatch::Queue> delegateQueue;
    };

    static std::shared_ptr<URLSession> make(Configuration configuration);
    ~URLSession();
    URLSession(const URLSession &) = delete;
    URLSession &operator=(const URLSession &) = delete;

    // A suspended task for the request; resume() starts it.
    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, DataTaskCompletion completion);
    // Cancels every task and refuses new ones (they complete with -999).
    void invalidateAndCancel();
    const Configuration &configuration() const { return configuration_; }
    // The error of a task cancelled before or while it ran.
    static ErrorPtr cancelledError(const URL &url);

private:
    friend class URLSessionDataTask;
    explicit URLSession(Configuration configuration);
    void start(const std::shared_ptr<URLSessionDataTask> &task);
    void cancel(const std::shared_ptr<URLSessionDataTask> &task);

    Configuration configuration_;
    std::shared_ptr<URLSessionEngine> engine_;
    std::mutex mutex_;
    uint64_t nextIdentifier_ = 1;
    bool invalidated_ = false;
};

}  // namespace platform::net
