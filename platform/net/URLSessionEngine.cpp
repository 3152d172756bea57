// The transfer thread of a URL session on one curl multi handle. Every curl
// call on a handle of this engine is made on its thread.
#include "platform/net/URLSessionEngine.h"

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/syslog/SystemLog.h"

namespace platform::net {

namespace {

void initializeCurlOnce() {
    // Process-wide and never cleaned up: other threads may still use curl
    // while the process exits.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool hasLineBreakOrNul(const std::string &text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The body is the transfer's own buffer. An empty body still needs a
// pointer: without one curl would read the body from standard input.
void setBody(CURL *easy, const Data &body) {
    static const char kEmpty[] = "";
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.empty() ? kEmpty : reinterpret_cast<const char *>(body.data()));
}

// The scheme, host and port of an absolute URL (the port filled in from the
// scheme when the URL has none), lower-cased; nullopt when curl cannot parse
// it.
std::optional<std::string> originOf(const std::string &url) {
    CURLU *handle = curl_url();
    if (!handle) return std::nullopt;
    std::optional<std::string> origin;
    char *scheme = nullptr, *host = nullptr, *port = nullptr;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string text = std::string(scheme) + "://" + host + ":" + port;
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        origin = std::move(text);
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(handle);
    return origin;
}

// The redirects that are followed (to the same origin only), each keeping
// the request's method, header fields and body. A 303 asks for a GET of
// another resource: it is answered to the caller, as any other 3xx.
bool isFollowedRedirect(long status) { return status == 301 || status == 302 || status == 307 || status == 308; }

constexpr int kMaxRedirects = 10;

// How long the thread stays with no transfer before it ends.
constexpr auto kIdleExit = std::chrono::seconds(5);

}  // namespace

struct URLSessionEngine::Command {
    enum class Kind { Add, Cancel, Shutdown } kind;
    std::shared_ptr<URLSessionDataTask> task;
};

// Easy handles of finished transfers, reset and kept for the next ones:
// making a handle and its buffers afresh for every request costs more than
// the request itself on a reused connection. Touched only by the thread.
class URLSessionEngine::EasyPool {
public:
    explicit EasyPool(size_t capacity) : capacity_(capacity) {}
    ~EasyPool() {
        for (CURL *easy : idle_) curl_easy_cleanup(easy);
    }
    EasyPool(const EasyPool &) = delete;
    EasyPool &operator=(const EasyPool &) = delete;

    CURL *take() {
        if (idle_.empty()) return curl_easy_init();
        CURL *easy = idle_.back();
        idle_.pop_back();
        return easy;
    }
    // The handle forgets every option (and so every pointer into the
    // finished transfer) before it waits for reuse.
    void give(CURL *easy) {
        if (idle_.size() < capacity_) {
            curl_easy_reset(easy);
            idle_.push_back(easy);
        } else {
            curl_easy_cleanup(easy);
        }
    }

private:
    const size_t capacity_;
    std::vector<CURL *> idle_;
};

struct URLSessionEngine::Transfer {
    std::shared_ptr<URLSessionDataTask> task;
    std::string url;    // this hop's URL: the request's, or a redirect's target
    int redirects = 0;  // redirects followed before this hop
    EasyPool *pool = nullptr;
    CURL *easy = nullptr;
    curl_slist *headerList = nullptr;
    Data responseBody;
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    size_t maxBody = 0;
    bool bodyTooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy) pool->give(easy);
        if (headerList) curl_slist_free_all(headerList);
    }

    static size_t onBody(char *data, size_t size, size_t count, void *context) {
        auto *transfer = static_cast<Transfer *>(context);
        size_t length = size * count;
        if (transfer->responseBody.size() + length > transfer->maxBody) {
            transfer->bodyTooLarge = true;
            return 0;
        }
        transfer->responseBody.insert(transfer->responseBody.end(), data, data + length);
        return length;
    }

    // Keeps the fields of the last response only: a status line starts over.
    static size_t onHeader(char *data, size_t size, size_t count, void *context) {
        auto *transfer = static_cast<Transfer *>(context);
        size_t length = size * count;
        std::string line(data, length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.rfind("HTTP/", 0) == 0) {
            transfer->responseHeaders.clear();
        } else if (auto colon = line.find(':'); colon != std::string::npos && colon > 0) {
            std::string value = line.substr(colon + 1);
            size_t start = value.find_first_not_of(" \t");
            value = start == std::string::npos ? "" : value.substr(start);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
            transfer->responseHeaders.emplace_back(line.substr(0, colon), value);
        }
        return length;
    }
};

std::shared_ptr<URLSessionEngine> URLSessionEngine::make(const URLSession::Configuration &configuration) {
    initializeCurlOnce();
    std::shared_ptr<URLSessionEngine> engine(new URLSessionEngine(configuration));
    engine->multi_ = curl_multi_init();
    if (!engine->multi_) {
        SystemLog::write("URLSession: curl_multi_init failed");
        return nullptr;
    }
    curl_multi_setopt(engine->multi_, CURLMOPT_MAX_HOST_CONNECTIONS, configuration.maxConnectionsPerHost);
    return engine;
}

URLSessionEngine::URLSessionEngine(const URLSession::Configuration &configuration) : configuration_(configuration) {}

URLSessionEngine::~URLSessionEngine() {
    shutdown();
    if (multi_) curl_multi_cleanup(multi_);
}

// Starts the thread unless it runs. A thread that ended has left the lock
// for good, so it is joined here at once.
bool URLSessionEngine::startThreadLocked() {
    if (threadRunning_) return true;
    if (thread_.joinable()) thread_.join();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &error) {
        SystemLog::write(std::string("URLSession: could not start the transfer thread: ") + error.what());
        return false;
    }
    threadRunning_ = true;
    return true;
}

void URLSessionEngine::post(Command command) {
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutDown_ || !startThreadLocked()) {
            refused = true;
        } else {
            commands_.push_back(command);
        }
    }
    if (refused) {
        if (command.task)
            command.task->finish(std::nullopt, nullptr,
                                 URLSession::cancelledError(command.task->originalRequest().url));
        return;
    }
    curl_multi_wakeup(multi_);
}

void URLSessionEngine::add(const std::shared_ptr<URLSessionDataTask> &task) { post({Command::Kind::Add, task}); }

void URLSessionEngine::cancel(const std::shared_ptr<URLSessionDataTask> &task) { post({Command::Kind::Cancel, task}); }

void URLSessionEngine::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!shutDown_) {
            commands_.push_back({Command::Kind::Shutdown, nullptr});
            shutDown_ = true;
        }
    }
    if (multi_) curl_multi_wakeup(multi_);
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

ErrorPtr URLSessionEngine::errorForCurlCode(int curlCode, const std::string &message, const std::string &url) {
    int64_t code;
    switch (curlCode) {
    case CURLE_OPERATION_TIMEDOUT: code = kURLErrorTimedOut; break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: code = kURLErrorCannotFindHost; break;
    case CURLE_COULDNT_CONNECT: code = kURLErrorCannotConnectToHost; break;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: code = kURLErrorNetworkConnectionLost; break;
    case CURLE_UNSUPPORTED_PROTOCOL: code = kURLErrorUnsupportedURL; break;
    case CURLE_URL_MALFORMAT: code = kURLErrorBadURL; break;
    case CURLE_SSL_CONNECT_ERROR: code = kURLErrorSecureConnectionFailed; break;
    case CURLE_PEER_FAILED_VERIFICATION: code = kURLErrorServerCertificateUntrusted; break;
    case CURLE_TOO_MANY_REDIRECTS: code = kURLErrorHTTPTooManyRedirects; break;
    default: code = kURLErrorUnknown; break;
    }
    std::string description = message.empty() ? curl_easy_strerror(static_cast<CURLcode>(curlCode)) : message;
    return Error::make(kURLErrorDomain, code,
                       {{kLocalizedDescriptionKey, description},
                        {kCURLCodeKey, static_cast<int64_t>(curlCode)},
                        {kURLErrorFailingURLStringKey, url}});
}

void URLSessionEngine::run() {
    pthread_setname_np(pthread_self(), "net.session");
    // With CURLOPT_NOSIGNAL, a write to a closed peer raises SIGPIPE on this
    // thread; blocked here it becomes an EPIPE error of the transfer.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    // Declared before the transfers so that it outlives them: a transfer
    // gives its handle back as it is freed.
    EasyPool easyPool(std::max<size_t>(4, static_cast<size_t>(std::max(0L, configuration_.maxConnectionsPerHost))));
    std::unordered_map<CURL *, std::unique_ptr<Transfer>> transfers;
    auto badRequest = [](const std::shared_ptr<URLSessionDataTask> &task, const std::string &why) {
        task->finish(std::nullopt, nullptr,
                     Error::make(kURLErrorDomain, kURLErrorBadURL,
                                 {{kLocalizedDescriptionKey, why},
                                  {kURLErrorFailingURLStringKey, task->originalRequest().url.absoluteString()}}));
    };

    // One hop of a task: its request, sent to `url`.
    auto start = [&](const std::shared_ptr<URLSessionDataTask> &task, const std::string &url, int redirects) {
        if (task->isFinished()) return;
        const URLRequest &request = task->originalRequest();
        if (hasLineBreakOrNul(request.method) || request.method.empty() || hasLineBreakOrNul(url)) {
            badRequest(task, "The request's method or URL holds a line break.");
            return;
        }
        auto transfer = std::make_unique<Transfer>();
        transfer->task = task;
        transfer->url = url;
        transfer->redirects = redirects;
        transfer->maxBody = configuration_.maxResponseBodySize;
        for (const auto &[name, value] : request.headers) {
            if (name.empty() || hasLineBreakOrNul(name) || hasLineBreakOrNul(value) ||
                name.find(':') != std::string::npos) {
                badRequest(task, "A header field of the request holds a line break or is not a valid name.");
                return;
            }
            // "Name;" sends a field with an empty value; "Name:" would remove it.
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            transfer->headerList = curl_slist_append(transfer->headerList, line.c_str());
        }
        transfer->headerList = curl_slist_append(transfer->headerList, "Expect:");
        CURL *easy = easyPool.take();
        if (!easy) {
            task->finish(std::nullopt, nullptr,
                         errorForCurlCode(CURLE_OUT_OF_MEMORY, "", request.url.absoluteString()));
            return;
        }
        transfer->pool = &easyPool;
        transfer->easy = easy;
        curl_easy_setopt(easy, CURLOPT_URL, transfer->url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        // Redirects are followed here, hop by hop (see done), not by curl:
        // curl would follow them to any host, with the request's header
        // fields, and turn a POST into a GET.
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::max(1.0, configuration_.connectTimeout * 1000)));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>(std::max(1.0, std::ceil(configuration_.idleTimeout))));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headerList);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        // The body is sent from the task's own request, which the transfer
        // keeps alive and which never changes once the task is made.
        if (request.method == "POST") {
            static const Data kNoBody;
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            setBody(easy, request.body ? *request.body : kNoBody);
        } else {
            if (request.method == "HEAD")
                curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
            else if (request.method != "GET")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
            if (request.body) setBody(easy, *request.body);
        }
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            task->finish(std::nullopt, nullptr, errorForCurlCode(CURLE_FAILED_INIT, "", request.url.absoluteString()));
            return;
        }
        transfers.emplace(easy, std::move(transfer));
    };

    auto stop = [&](CURL *easy) {
        curl_multi_remove_handle(multi_, easy);
        auto it = transfers.find(easy);
        if (it == transfers.end()) return std::unique_ptr<Transfer>();
        auto transfer = std::move(it->second);
        transfers.erase(it);
        return transfer;
    };

    auto cancelTask = [&](const std::shared_ptr<URLSessionDataTask> &task) {
        for (auto &[easy, transfer] : transfers) {
            if (transfer->task == task) {
                stop(easy);  // the transfer is freed here
                break;
            }
        }
        task->finish(std::nullopt, nullptr, URLSession::cancelledError(task->originalRequest().url));
    };

    auto done = [&](CURL *easy, CURLcode code) {
        auto transfer = stop(easy);
        if (!transfer) return;
        const URL &requested = transfer->task->originalRequest().url;
        if (code == CURLE_OK) {
            long status = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            char *location = nullptr;
            if (isFollowedRedirect(status)) curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
            // A redirect to the same scheme, host and port is followed with
            // the same request; one elsewhere is not, and its response is
            // the answer.
            if (location) {
                auto from = originOf(transfer->url);
                std::string target = location;
                if (from && from == originOf(target)) {
                    if (transfer->redirects >= kMaxRedirects) {
                        transfer->task->finish(
                            std::nullopt, nullptr,
                            errorForCurlCode(CURLE_TOO_MANY_REDIRECTS, "", requested.absoluteString()));
                        return;
                    }
                    auto task = transfer->task;
                    int redirects = transfer->redirects + 1;
                    transfer.reset();  // its handle goes back to the pool first
                    start(task, target, redirects);
                    return;
                }
            }
            char *effective = nullptr;
            curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
            std::optional<URL> answered = effective ? URL::parse(effective) : std::nullopt;
            auto response = std::make_shared<const HTTPURLResponse>(answered.value_or(requested), status,
                                                                    std::move(transfer->responseHeaders));
            transfer->task->finish(std::move(transfer->responseBody), std::move(response), nullptr);
        } else if (transfer->bodyTooLarge) {
            transfer->task->finish(std::nullopt, nullptr,
                                   Error::make(kURLErrorDomain, kURLErrorDataLengthExceedsMaximum,
                                               {{kLocalizedDescriptionKey, "The response body is too large."},
                                                {kCURLCodeKey, static_cast<int64_t>(code)},
                                                {kURLErrorFailingURLStringKey, requested.absoluteString()}}));
        } else {
            transfer->task->finish(std::nullopt, nullptr,
                                   errorForCurlCode(code, transfer->errorBuffer, requested.absoluteString()));
        }
    };

    bool idle = false;
    std::chrono::steady_clock::time_point idleSince;
    for (;;) {
        std::deque<Command> commands;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands.swap(commands_);
        }
        bool shutdownNow = false;
        for (auto &command : commands) {
            switch (command.kind) {
            case Command::Kind::Add:
                start(command.task, command.task->originalRequest().url.absoluteString(), 0);
                break;
            case Command::Kind::Cancel: cancelTask(command.task); break;
            case Command::Kind::Shutdown: shutdownNow = true; break;
            }
        }
        if (shutdownNow) {
            while (!transfers.empty()) {
                auto transfer = stop(transfers.begin()->first);
                transfer->task->finish(std::nullopt, nullptr,
                                       URLSession::cancelledError(transfer->task->originalRequest().url));
            }
            // Commands queued after the shutdown are refused by post().
            return;
        }

        int running = 0;
        curl_multi_perform(multi_, &running);
        int pending = 0;
        while (CURLMsg *message = curl_multi_info_read(multi_, &pending)) {
            if (message->msg == CURLMSG_DONE) done(message->easy_handle, message->data.result);
        }
        // With no transfer, the thread sleeps until post() or shutdown() wakes
        // it (curl_multi_wakeup), curl has something to do, or it is time to
        // end. While transfers run, it waits at most a second.
        long timeout = -1;
        curl_multi_timeout(multi_, &timeout);
        if (transfers.empty()) {
            // Idle for long enough, the thread ends, unless a command came.
            const auto now = std::chrono::steady_clock::now();
            if (!idle) {
                idle = true;
                idleSince = now;
            }
            if (now - idleSince >= kIdleExit) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (commands_.empty()) {
                    threadRunning_ = false;
                    return;
                }
                continue;
            }
            const long left =
                static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(kIdleExit - (now - idleSince)).count());
            if (timeout < 0 || timeout > left) timeout = left;
        } else {
            idle = false;
            if (timeout < 0 || timeout > 1000) timeout = 1000;
        }
        int ready = 0;
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(timeout), &ready);
    }
}

}  // namespace platform::net
