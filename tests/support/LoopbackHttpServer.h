#pragma once
// An HTTP server on 127.0.0.1 and an ephemeral port that answers what the
// test scripts, one scripted answer per request (then a default answer), and
// records every request it gets. Stopped and joined when it goes away; an
// answer that hangs is released then.
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace testsupport {

class LoopbackHttpServer {
public:
    struct Answer {
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        std::string contentType = "text/plain";
        // Waits this long before answering (bounded by stop()).
        double delaySeconds = 0;
        // Never answers until the server stops or release() is called.
        bool hang = false;
        // Announces the body's length, sends half of it and closes.
        bool closeMidBody = false;
    };
    struct Request {
        std::string method;
        std::string path;
        std::string query;                                // raw, as on the request line
        std::multimap<std::string, std::string> headers;  // names in lower case
        std::string body;                                 // decoded when it came with Content-Encoding
        std::string header(const std::string &name) const;
        size_t headerCount(const std::string &name) const;
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer &) = delete;
    LoopbackHttpServer &operator=(const LoopbackHttpServer &) = delete;

    // A loopback port with no listener, which nothing else takes while
    // this process lives.
    static int closedPort();

    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void script(Answer answer);
    void setDefaultAnswer(Answer answer);
    // Releases every hanging answer.
    void release();
    bool waitForRequests(size_t count, double timeoutSeconds);
    // Waits until as many requests have ended (answered, or their
    // connection found closed).
    bool waitForFinished(size_t count, double timeoutSeconds);
    std::vector<Request> requests();
    size_t requestCount();
    void stop();

private:
    Answer nextAnswer();
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Answer> script_;
    Answer defaultAnswer_;
    std::vector<Request> requests_;
    size_t finished_ = 0;
    unsigned long releaseGeneration_ = 0;
    bool stopping_ = false;
};

}  // namespace testsupport
