#pragma once
// The transfer thread of a URL session: one curl multi handle, driven by one
// thread that makes every curl call. Other threads queue commands (add,
// cancel, shut down) under a lock and wake the thread. The thread is started
// by the first command and ends after a few seconds with no transfer; the
// next command starts it again (the multi handle, with its connections,
// stays).
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net/URLSession.h"

namespace platform::net {

class URLSessionEngine : public std::enable_shared_from_this<URLSessionEngine> {
public:
    // nullptr when curl cannot be set up.
    static std::shared_ptr<URLSessionEngine> make(const URLSession::Configuration &configuration);
    ~URLSessionEngine();

    // Both complete the task (asynchronously) if the engine is shut down.
    void add(const std::shared_ptr<URLSessionDataTask> &task);
    void cancel(const std::shared_ptr<URLSessionDataTask> &task);
    // Cancels every transfer, completes each task, and ends the thread; waits
    // for it unless called on it. Later adds complete with -999 at once.
    void shutdown();

    // The error of a curl code, in "NSURLErrorDomain".
    static ErrorPtr errorForCurlCode(int curlCode, const std::string &message, const std::string &url);

private:
    struct Command;
    struct Transfer;
    class EasyPool;
    explicit URLSessionEngine(const URLSession::Configuration &configuration);
    void run();
    void post(Command command);
    bool startThreadLocked();

    const URLSession::Configuration configuration_;
    void *multi_ = nullptr;  // CURLM, touched only by the thread (and by the destructor after it ended)
    std::mutex mutex_;
    std::deque<Command> commands_;
    bool shutDown_ = false;
    bool threadRunning_ = false;  // the thread has not ended (nor decided to)
    std::thread thread_;
};

}  // namespace platform::net
