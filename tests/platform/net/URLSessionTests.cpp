// The URL session on libcurl against a loopback server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/net/URLSession.h"
#include "support/Collector.h"
#include "support/LoopbackHttpServer.h"

using namespace platform;
using namespace platform::net;
using testsupport::Collector;
using testsupport::LoopbackHttpServer;

namespace {

struct Outcome {
    std::optional<Data> data;
    std::shared_ptr<const HTTPURLResponse> response;
    ErrorPtr error;
    bool onDelegateQueue = false;
};

// The context switches so far of each thread of this process that carries
// the session's thread name.
std::map<std::string, long> sessionThreadSwitches() {
    std::map<std::string, long> switches;
    std::error_code error;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name != "net.session") continue;
        std::ifstream status(task.path() / "status");
        long total = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
        }
        switches[task.path().filename().string()] = total;
    }
    return switches;
}

class URLSessionTests : public ::testing::Test {
protected:
    std::shared_ptr<URLSession> makeSession(double timeout = 60) {
        URLSession::Configuration configuration;
        configuration.connectTimeout = timeout;
        configuration.idleTimeout = timeout;
        configuration.delegateQueue = queue;
        return URLSession::make(configuration);
    }
    std::shared_ptr<URLSessionDataTask> start(const std::shared_ptr<URLSession> &session, URLRequest request) {
        auto task = session->dataTask(
            std::move(request),
            [this](std::optional<Data> data, std::shared_ptr<const HTTPURLResponse> response, ErrorPtr error) {
                outcomes.add({std::move(data), std::move(response), std::move(error), queue->isCurrent()});
            });
        task->resume();
        return task;
    }
    URLRequest post(const std::string &path, std::string body,
                    std::vector<std::pair<std::string, std::string>> headers = {}) {
        return URLRequest{*URL::parse(server.baseURL() + path), "POST", std::move(headers),
                          Data(body.begin(), body.end())};
    }

    LoopbackHttpServer server;
    std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("test.delegate");
    Collector<Outcome> outcomes;
};

}  // namespace

TEST_F(URLSessionTests, PostsBinaryBodyAndHeadersAndReadsTheLastResponse) {
    server.script({201, {{"X-Answer", "yes"}}, "{\"ok\":true}", "application/json"});
    auto session = makeSession();
    std::string body("a\0b\r\nc", 6);
    start(session, post("/logs?api-version=1.0.0", body, {{"Content-Type", "application/json"}, {"Empty", ""}}));
    ASSERT_TRUE(outcomes.waitFor(1));
    auto outcome = outcomes.values()[0];
    EXPECT_TRUE(outcome.onDelegateQueue);
    ASSERT_TRUE(outcome.response);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.response->statusCode(), 201);
    EXPECT_EQ(outcome.response->valueForHTTPHeaderField("x-answer"), "yes");
    EXPECT_EQ(std::string(outcome.data->begin(), outcome.data->end()), "{\"ok\":true}");

    auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, "api-version=1.0.0");
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(request.headerCount("Content-Type"), 1u);
    EXPECT_EQ(request.headerCount("Expect"), 0u);

    // A POST without a body sends an empty one (and never reads stdin).
    start(session, URLRequest{*URL::parse(server.baseURL() + "/empty"), "POST", {}, std::nullopt});
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[1].response->statusCode(), 200);
    EXPECT_EQ(server.requests().at(1).body, "");
}

// Finished transfers hand their curl handles to the next ones: nothing of a
// request (method, body, header fields) or of its answer may carry over.
TEST_F(URLSessionTests, RequestsInTurnCarryNothingOfTheOnesBeforeAndTheThreadSleepsBetweenThem) {
    server.script({200, {{"X-Round", "1"}}, "one", "text/plain"});
    server.script({200, {}, "", "text/plain"});
    server.script({200, {}, "three", "text/plain"});
    server.script({200, {}, "four", "text/plain"});
    server.script({200, {}, "five", "text/plain"});
    const auto threadsBefore = sessionThreadSwitches();
    auto session = makeSession();
    start(session, post("/a", "first", {{"X-Only-First", "1"}, {"Content-Type", "text/plain"}}));
    ASSERT_TRUE(outcomes.waitFor(1));
    start(session, URLRequest{*URL::parse(server.baseURL() + "/b"), "HEAD", {}, std::nullopt});
    ASSERT_TRUE(outcomes.waitFor(2));
    start(session, URLRequest{*URL::parse(server.baseURL() + "/c"), "GET", {}, std::nullopt});
    ASSERT_TRUE(outcomes.waitFor(3));
    std::string fourth = "fourth";
    start(
        session,
        URLRequest{
            *URL::parse(server.baseURL() + "/d"), "PUT", {{"X-Only-Fourth", "4"}}, Data(fourth.begin(), fourth.end())});
    ASSERT_TRUE(outcomes.waitFor(4));

    // With nothing to transfer, the session's thread sleeps: over 2.5 s it
    // is not switched in at all (a thread that woke every second would be,
    // twice at least).
    std::string thread;
    for (const auto &[tid, n] : sessionThreadSwitches())
        if (!threadsBefore.count(tid)) thread = tid;
    ASSERT_FALSE(thread.empty());
    const long switchesBefore = sessionThreadSwitches()[thread];
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_LE(sessionThreadSwitches()[thread] - switchesBefore, 1);
    // A few seconds with no transfer end it; the next request starts another.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(testsupport::kPatience);
    while (sessionThreadSwitches().count(thread) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(sessionThreadSwitches().count(thread));

    start(session, URLRequest{*URL::parse(server.baseURL() + "/e"), "POST", {}, std::nullopt});
    ASSERT_TRUE(outcomes.waitFor(5));

    auto values = outcomes.values();
    auto body = [&](size_t i) { return std::string(values[i].data->begin(), values[i].data->end()); };
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(values[i].response) << i;
        EXPECT_EQ(values[i].response->statusCode(), 200) << i;
    }
    EXPECT_EQ(body(0), "one");
    EXPECT_EQ(body(1), "");
    EXPECT_EQ(body(2), "three");
    EXPECT_FALSE(values[2].response->valueForHTTPHeaderField("X-Round"));
    EXPECT_EQ(values[2].response->url().path(), "/c");
    EXPECT_EQ(body(3), "four");
    EXPECT_EQ(body(4), "five");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "first");
    EXPECT_EQ(requests[1].method, "HEAD");
    EXPECT_EQ(requests[2].method, "GET");
    EXPECT_EQ(requests[2].body, "");
    EXPECT_EQ(requests[3].method, "PUT");
    EXPECT_EQ(requests[3].body, "fourth");
    EXPECT_EQ(requests[4].method, "POST");
    EXPECT_EQ(requests[4].body, "");
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(requests[i].headerCount("X-Only-First"), 0u) << i;
        EXPECT_NE(requests[i].header("Content-Type"), "text/plain") << i;
    }
    EXPECT_EQ(requests[4].headerCount("X-Only-Fourth"), 0u);
}

TEST_F(URLSessionTests, FollowsRedirectsAndReportsTheFinalAnswer) {
    server.script({307, {{"Location", "/moved"}}, "", "text/plain"});
    server.script({308, {{"Location", "/final"}, {"X-First", "1"}}, "", "text/plain"});
    server.script({302, {{"Location", server.baseURL() + "/last"}}, "", "text/plain"});
    server.script({200, {{"X-Final", "1"}}, "done", "text/plain"});
    auto session = makeSession();
    start(session, post("/start", "body", {{"App-Secret", "s3cret"}}));
    ASSERT_TRUE(outcomes.waitFor(1));
    auto outcome = outcomes.values()[0];
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode(), 200);
    EXPECT_EQ(outcome.response->url().path(), "/last");
    EXPECT_FALSE(outcome.response->valueForHTTPHeaderField("X-First"));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    // Every hop, the 302 included, is the same POST with its header fields.
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(requests[i].method, "POST") << i;
        EXPECT_EQ(requests[i].body, "body") << i;
        EXPECT_EQ(requests[i].header("App-Secret"), "s3cret") << i;
    }
    EXPECT_EQ(requests[3].path, "/last");

    // Endless redirects end after ten hops.
    server.setDefaultAnswer({302, {{"Location", "/again"}}, "", "text/plain"});
    start(session, post("/loop", "body"));
    ASSERT_TRUE(outcomes.waitFor(2));
    ASSERT_TRUE(outcomes.values()[1].error);
    EXPECT_EQ(outcomes.values()[1].error->code(), kURLErrorHTTPTooManyRedirects);
    EXPECT_EQ(server.requestCount(), 4u + 11u);
}

// A redirect to another port, host or scheme (or a 303, which asks for a GET)
// is not followed: the 3xx itself is the answer and nothing reaches the
// other place.
TEST_F(URLSessionTests, RedirectsElsewhereAreNotFollowed) {
    LoopbackHttpServer other;
    const std::string port = std::to_string(server.port());
    const std::vector<std::pair<int, std::string>> redirects = {
        {302, other.baseURL() + "/elsewhere"},
        {307, "http://localhost:" + port + "/samePortOtherHost"},
        {308, "https://127.0.0.1:" + port + "/otherScheme"},
        {303, "/seeOther"},
    };
    for (const auto &[status, location] : redirects)
        server.script({status, {{"Location", location}}, "", "text/plain"});
    auto session = makeSession();
    for (size_t i = 0; i < redirects.size(); ++i) {
        start(session, post("/logs", "body", {{"App-Secret", "s3cret"}}));
        ASSERT_TRUE(outcomes.waitFor(i + 1));
        auto outcome = outcomes.values()[i];
        ASSERT_TRUE(outcome.response) << i;
        EXPECT_FALSE(outcome.error) << i;
        EXPECT_EQ(outcome.response->statusCode(), redirects[i].first);
        EXPECT_EQ(outcome.response->valueForHTTPHeaderField("Location"), redirects[i].second);
        EXPECT_EQ(outcome.response->url().path(), "/logs");
    }
    EXPECT_EQ(server.requestCount(), redirects.size());
    EXPECT_EQ(other.requestCount(), 0u);
}

TEST_F(URLSessionTests, TransportFailuresMapToURLErrors) {
    auto session = makeSession(1);
    start(
        session,
        URLRequest{
            *URL::parse("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/"), "GET", {}, {}});
    ASSERT_TRUE(outcomes.waitFor(1));
    auto refused = outcomes.values()[0];
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->domain(), kURLErrorDomain);
    EXPECT_EQ(refused.error->code(), kURLErrorCannotConnectToHost);
    EXPECT_FALSE(refused.response);
    EXPECT_EQ(refused.error->userInfo().at(kCURLCodeKey).int64Value(), 7);

    server.script({200, {}, "", "text/plain", 0, true});  // hangs
    start(session, post("/hang", "x"));
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[1].error->code(), kURLErrorTimedOut);

    server.script({200, {}, std::string(4096, 'x'), "text/plain", 0, false, true});  // closes mid-body
    start(session, post("/cut", "x"));
    ASSERT_TRUE(outcomes.waitFor(3));
    ASSERT_TRUE(outcomes.values()[2].error);
    EXPECT_EQ(outcomes.values()[2].error->code(), kURLErrorNetworkConnectionLost);

    start(session, URLRequest{*URL::parse("file:///etc/passwd"), "GET", {}, {}});
    ASSERT_TRUE(outcomes.waitFor(4));
    EXPECT_EQ(outcomes.values()[3].error->code(), kURLErrorUnsupportedURL);
}

TEST_F(URLSessionTests, RefusesHeaderInjection) {
    auto session = makeSession();
    start(session, post("/x", "b", {{"App-Secret", "s\r\nX-Injected: 1"}}));
    start(session, post("/x", "b", {{"Bad\nName", "v"}}));
    ASSERT_TRUE(outcomes.waitFor(2));
    for (auto &outcome : outcomes.values()) {
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code(), kURLErrorBadURL);
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(URLSessionTests, CancelCompletesOnceWithCancelled) {
    server.script({200, {}, "", "text/plain", 0, true});
    auto session = makeSession();
    auto task = start(session, post("/hang", "x"));
    ASSERT_TRUE(server.waitForRequests(1, testsupport::kPatience));
    task->cancel();
    task->cancel();
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.values()[0].error->code(), kURLErrorCancelled);

    // Destroying the session completes what is in flight.
    server.script({200, {}, "", "text/plain", 0, true});
    start(session, post("/hang", "x"));
    ASSERT_TRUE(server.waitForRequests(2, testsupport::kPatience));
    session.reset();
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[1].error->code(), kURLErrorCancelled);
    // A late cancel finds nothing left to do.
    task->cancel();
    server.release();
    EXPECT_EQ(outcomes.size(), 2u);
}

TEST_F(URLSessionTests, DecodesGzipResponsesAndSurvivesAPeerClosingDuringUpload) {
    server.setDefaultAnswer({200, {}, std::string(20000, 'z'), "text/plain"});
    auto session = makeSession();
    // A gzip-encoded answer is decoded as the system's session decodes it.
    start(session, URLRequest{*URL::parse(server.baseURL() + "/big"), "GET", {{"Accept-Encoding", "gzip"}}, {}});
    ASSERT_TRUE(outcomes.waitFor(1));
    ASSERT_TRUE(outcomes.values()[0].data);
    EXPECT_EQ(outcomes.values()[0].data->size(), 20000u);

    // A peer that closes while a large body is still being written gives an
    // error, not the end of the process by SIGPIPE.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    listen(listener, 1);
    std::string big(8 * 1024 * 1024, 'b');
    start(session, URLRequest{*URL::parse("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/"),
                              "POST",
                              {},
                              Data(big.begin(), big.end())});
    int connection = accept(listener, nullptr, nullptr);
    char buffer[1024];
    read(connection, buffer, sizeof buffer);
    close(connection);
    close(listener);
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_TRUE(outcomes.values()[1].error);
}
