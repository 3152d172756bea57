// A scripted HTTP server on the loopback interface.
#include "support/LoopbackHttpServer.h"

#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

std::string LoopbackHttpServer::Request::header(const std::string &name) const {
    std::string lower = name;
    for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto it = headers.find(lower);
    return it == headers.end() ? std::string() : it->second;
}

size_t LoopbackHttpServer::Request::headerCount(const std::string &name) const {
    std::string lower = name;
    for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return headers.count(lower);
}

LoopbackHttpServer::LoopbackHttpServer() : server_(std::make_unique<httplib::Server>()) {
    // A proxy configured on a CI machine must never see loopback requests.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        Request recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        auto question = request.target.find('?');
        if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
        for (const auto &[name, value] : request.headers) {
            std::string lower = name;
            for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            recorded.headers.emplace(lower, value);
        }
        recorded.body = request.body;
        Answer answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(std::move(recorded));
            answer = nextAnswer();
        }
        changed_.notify_all();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            unsigned long generation = releaseGeneration_;
            auto released = [&] { return stopping_ || releaseGeneration_ != generation; };
            if (answer.hang) {
                changed_.wait(lock, released);
            } else if (answer.delaySeconds > 0) {
                changed_.wait_for(lock, std::chrono::duration<double>(answer.delaySeconds), released);
            }
        }
        response.status = answer.status;
        for (const auto &[name, value] : answer.headers) response.set_header(name, value);
        if (answer.closeMidBody) {
            auto body = std::make_shared<std::string>(answer.body);
            response.set_content_provider(body->size(), answer.contentType,
                                          [body](size_t, size_t, httplib::DataSink &sink) {
                                              sink.write(body->data(), body->size() / 2);
                                              return false;
                                          });
        } else if (!answer.body.empty()) {
            response.set_content(answer.body, answer.contentType.c_str());
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++finished_;
        }
        changed_.notify_all();
    };
    for (auto *route : {"/.*"}) {
        server_->Get(route, handler);
        server_->Post(route, handler);
        server_->Put(route, handler);
        server_->Delete(route, handler);
    }
    server_->set_keep_alive_max_count(1000);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is lost on a server whose loop has not started yet: wait (with
    // a bound) until it runs. Connections made meanwhile wait in the backlog.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

LoopbackHttpServer::~LoopbackHttpServer() { stop(); }

int LoopbackHttpServer::closedPort() {
    // Bound and never listening, and held for the life of the process: a
    // connection there is refused, and no server of a test running beside
    // this one is given the port meanwhile.
    static const int port = [] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            if (fd >= 0) close(fd);
            return 0;
        }
        return static_cast<int>(ntohs(address.sin_port));
    }();
    return port;
}

void LoopbackHttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

void LoopbackHttpServer::script(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(answer));
}

void LoopbackHttpServer::setDefaultAnswer(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultAnswer_ = std::move(answer);
}

void LoopbackHttpServer::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++releaseGeneration_;
    }
    changed_.notify_all();
}

LoopbackHttpServer::Answer LoopbackHttpServer::nextAnswer() {
    if (script_.empty()) return defaultAnswer_;
    Answer answer = std::move(script_.front());
    script_.pop_front();
    return answer;
}

bool LoopbackHttpServer::waitForRequests(size_t count, double timeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return requests_.size() >= count; });
}

bool LoopbackHttpServer::waitForFinished(size_t count, double timeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return finished_ >= count; });
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t LoopbackHttpServer::requestCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

}  // namespace testsupport
