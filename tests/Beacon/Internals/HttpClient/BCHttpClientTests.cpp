// The HTTP client against a scripted loopback server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BCHttpClient.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/net/URLSession.h"
#include "support/Collector.h"
#include "support/LoopbackHttpServer.h"

using testsupport::Collector;
using testsupport::kPatience;
using testsupport::LoopbackHttpServer;
using Answer = testsupport::LoopbackHttpServer::Answer;

namespace {

struct Outcome {
    std::optional<platform::Data> data;
    std::shared_ptr<const platform::net::HTTPURLResponse> response;
    platform::ErrorPtr error;
    long status() const { return response ? response->statusCode() : 0; }
};

Answer status(int code, std::vector<std::pair<std::string, std::string>> headers = {}) {
    Answer answer;
    answer.status = code;
    answer.headers = std::move(headers);
    return answer;
}

Answer hang() {
    Answer answer;
    answer.hang = true;
    return answer;
}

class BCHttpClientTests : public ::testing::Test {
protected:
    std::shared_ptr<BCHttpClient> makeClient(double timeout = 60) {
        BCHttpClientConfiguration configuration;
        configuration.connectTimeout = timeout;
        configuration.idleTimeout = timeout;
        configuration.observeReachability = false;
        return BCHttpClient::make(configuration);
    }
    void send(BCHttpClient &client, std::vector<double> intervals, std::optional<std::string> body = "{}",
              BCHttpHeaders headers = {}, bool compression = false, std::string url = "") {
        std::optional<platform::Data> data;
        if (body) data = platform::Data(body->begin(), body->end());
        client.sendAsync(
            *platform::URL::parse(url.empty() ? server.baseURL() + "/logs" : url), "POST", headers, std::move(data),
            std::move(intervals), compression,
            [this](std::optional<platform::Data> data, std::shared_ptr<const platform::net::HTTPURLResponse> response,
                   platform::ErrorPtr error) {
                outcomes.add({std::move(data), response, error});
            });
    }

    LoopbackHttpServer server;
    Collector<Outcome> outcomes;
};

}  // namespace

TEST_F(BCHttpClientTests, BodiesOf1400BytesOrMoreGoOutGzipped) {
    auto client = makeClient();
    std::string small(1399, 'a');
    std::string large(1400, 'b');
    send(*client, {}, small, {}, true);
    ASSERT_TRUE(outcomes.waitFor(1));
    send(*client, {}, large, {{"content-type", "text/plain"}}, true);
    ASSERT_TRUE(outcomes.waitFor(2));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].headerCount("Content-Encoding"), 0u);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, small);
    EXPECT_EQ(requests[1].header("Content-Encoding"), "gzip");
    EXPECT_EQ(requests[1].headerCount("Content-Type"), 1u);
    EXPECT_EQ(requests[1].header("Content-Type"), "text/plain");
    EXPECT_EQ(requests[1].body, large);  // the server inflates it back
}

TEST_F(BCHttpClientTests, RecoverableStatusesAreRetriedUntilTheIntervalsAreUsed) {
    auto client = makeClient();
    server.script(status(503));
    server.script(status(503));
    send(*client, {0.05, 0.05});
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.values()[0].status(), 200);
    EXPECT_EQ(server.requestCount(), 3u);

    server.setDefaultAnswer(status(500));
    send(*client, {0.01, 0.01});
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[1].status(), 500);
    EXPECT_FALSE(outcomes.values()[1].error);
    EXPECT_EQ(server.requestCount(), 6u);

    // One at a time: a retry of the first must not meet the second's status.
    server.setDefaultAnswer(status(200));
    size_t sent = 2;
    for (int code : {408, 429}) {
        server.script(status(code));
        send(*client, {0.01});
        ASSERT_TRUE(outcomes.waitFor(++sent));
        EXPECT_EQ(outcomes.values()[sent - 1].status(), 200) << code;
    }
    EXPECT_EQ(server.requestCount(), 10u);
}

TEST_F(BCHttpClientTests, OtherStatusesCompleteAtOnce) {
    auto client = makeClient();
    const std::vector<int> codes{400, 401, 403, 404, 201};
    for (int code : codes) server.script(status(code));
    for (size_t i = 0; i < codes.size(); ++i) {
        send(*client, {0.01, 0.01});
        ASSERT_TRUE(outcomes.waitFor(i + 1));
        EXPECT_EQ(outcomes.values()[i].status(), codes[i]);
    }
    EXPECT_EQ(server.requestCount(), codes.size());
}

// Redirects to the same origin are followed with the whole request; a
// redirect elsewhere sends nothing there, is logged, and is retried like a
// server error: a 3xx is never a delivery.
TEST_F(BCHttpClientTests, RedirectsElsewhereAreRetriedNeverDelivered) {
    modeltest::LogCapture log;
    LoopbackHttpServer other;
    auto client = makeClient();
    server.script(status(302, {{"Location", "/moved"}}));
    send(*client, {}, "{\"a\":1}", {{"App-Secret", "secret"}, {"Install-ID", "id"}});
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.values()[0].status(), 200);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/moved");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "{\"a\":1}");
    EXPECT_EQ(requests[1].header("App-Secret"), "secret");
    EXPECT_EQ(requests[1].header("Install-ID"), "id");

    server.script(status(302, {{"Location", other.baseURL() + "/logs"}}));
    server.script(status(307, {{"Location", "https://127.0.0.1:" + std::to_string(server.port()) + "/logs"}}));
    send(*client, {0.01, 0.01}, "{}", {{"App-Secret", "secret"}});
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[1].status(), 200) << "delivered by the third attempt";
    EXPECT_EQ(server.requestCount(), 5u);
    EXPECT_EQ(other.requestCount(), 0u);
    bool named = false;
    for (const auto &[level, line] : log.lines())
        if (level == BCLogLevelError && line.find("302") != std::string::npos &&
            line.find("127.0.0.1:" + std::to_string(other.port())) != std::string::npos)
            named = true;
    EXPECT_TRUE(named) << "an error line names the status and the other host";

    // With the retries used up the caller gets the 3xx, which is no success.
    server.setDefaultAnswer(status(308, {{"Location", other.baseURL() + "/logs"}}));
    send(*client, {0.01});
    ASSERT_TRUE(outcomes.waitFor(3));
    EXPECT_EQ(outcomes.values()[2].status(), 308);
    EXPECT_EQ(server.requestCount(), 7u);
    EXPECT_EQ(other.requestCount(), 0u);
}

TEST_F(BCHttpClientTests, ServerDelayHeaderReplacesTheInterval) {
    auto client = makeClient();
    server.script(status(429, {{"x-bc-retry-after-ms", "100"}}));
    send(*client, {3600});
    ASSERT_TRUE(outcomes.waitFor(1));  // far sooner than an hour
    EXPECT_EQ(outcomes.values()[0].status(), 200);

    // The delay rule on its own: digits only, clamped, else the interval.
    BCHttpCall call(*platform::URL::parse("http://h/"), "POST", {}, std::nullopt, {7, 9}, false, nullptr);
    auto delayFor = [&](const std::string &value) {
        platform::net::HTTPURLResponse response(*platform::URL::parse("http://h/"), 503,
                                                {{"X-BC-Retry-After-Ms", value}});
        return call.delayForRetry(&response);
    };
    EXPECT_EQ(delayFor("250"), 0.25);
    EXPECT_EQ(delayFor("abc"), 7);
    EXPECT_EQ(delayFor("-5"), 7);
    EXPECT_EQ(delayFor("1e3"), 7);
    EXPECT_EQ(delayFor(""), 7);
    EXPECT_EQ(delayFor("99999999999999999999999"), 7);
    EXPECT_EQ(delayFor("999999999999"), 24 * 3600);
    call.retryCount = 2;
    EXPECT_FALSE(delayFor("5"));
}

// A failure below HTTP is retried, and said once per call with the server's
// origin and curl's reason (never the path or query).
TEST_F(BCHttpClientTests, TransportFailuresAreRetriedAndSaidOnce) {
    modeltest::LogCapture log;
    const auto failureLines = [&] {
        std::vector<std::string> lines;
        for (const auto &[level, line] : log.lines())
            if (line.rfind("Sending to ", 0) == 0) {
                EXPECT_EQ(level, BCLogLevelError);
                lines.push_back(line);
            }
        return lines;
    };
    auto client = makeClient(1);
    auto delegate = std::make_shared<BCHttpClientDelegate>();
    Collector<BCHttpHeaders> attempts;
    delegate->willSendHTTPRequestToURL = [&](const platform::URL &, const BCHttpHeaders &headers) {
        attempts.add(headers);
    };
    client->setDelegate(delegate);

    // Connection refused: a port bound and closed again.
    const std::string origin = "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort());
    send(*client, {0.01}, "{}", {{"App-Secret", "secret"}}, false, origin + "/logs?key=hidden");
    ASSERT_TRUE(outcomes.waitFor(1));
    auto refused = outcomes.values()[0];
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(refused.error->code(), -1004);
    EXPECT_FALSE(refused.response);
    // Said once, with the origin only and curl's own words (which name the
    // time each attempt took).
    const auto said = failureLines();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind("Sending to " + origin + " failed: Failed to connect to 127.0.0.1 port ", 0), 0u)
        << said[0];
    EXPECT_EQ(said[0].back(), '.');
    EXPECT_NE(refused.error->localizedDescription().find("port"), std::string::npos)
        << "curl's own words: " << refused.error->localizedDescription();
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts.values()[1].at("Content-Type"), "application/json");
    EXPECT_EQ(attempts.values()[1].at("App-Secret"), "secret");

    // A server that never answers times out; one that closes mid-body fails;
    // both are tried again.
    server.script(hang());
    Answer cut;
    cut.body = std::string(4096, 'x');
    cut.closeMidBody = true;
    server.script(cut);
    send(*client, {0.01, 0.01});
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[1].status(), 200);
    EXPECT_EQ(server.requestCount(), 3u);
    const auto lines = failureLines();
    ASSERT_EQ(lines.size(), 2u) << "the first failure of the second call only";
    EXPECT_EQ(lines[1].rfind("Sending to " + server.baseURL() + " failed: Operation too slow", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].find(".."), std::string::npos) << lines[1];

    EXPECT_EQ(attempts.size(), 5u);

    // A delegate that is gone is not called.
    delegate.reset();
    send(*client, {});
    ASSERT_TRUE(outcomes.waitFor(3));
    EXPECT_EQ(attempts.size(), 5u);

    // Reserved ".invalid" names (the built-in endpoints) are never tried:
    // each attempt ends as a host not found and is retried as usual, with
    // one warning for the client, never a failure line.
    const size_t requests = server.requestCount();
    send(*client, {0.01}, "{}", {}, false, "https://in.example.invalid/logs?key=hidden");
    send(*client, {}, "{}", {}, false, "http://Events.Example.INVALID.:8080/e");
    ASSERT_TRUE(outcomes.waitFor(5));
    for (size_t i : {3u, 4u}) {
        const auto outcome = outcomes.values()[i];
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code(), -1003);
        EXPECT_FALSE(outcome.response);
    }
    EXPECT_EQ(failureLines().size(), 2u);
    std::vector<std::string> warnings;
    for (const auto &[level, line] : log.lines())
        if (level == BCLogLevelWarning) warnings.push_back(line);
    EXPECT_EQ(warnings, std::vector<std::string>{
                            "Logs are kept on this computer and not sent until a server is set: "
                            "https://in.example.invalid is a reserved name that never resolves. Set one with "
                            "BCBeacon::setLogUrl, or with PLOTWICK_DEFAULT_LOG_URL when building."});
    EXPECT_EQ(server.requestCount(), requests);
}

TEST_F(BCHttpClientTests, PauseHoldsACallAndResumeSendsItAgainOnce) {
    auto client = makeClient();
    server.script(hang());
    send(*client, {});
    ASSERT_TRUE(server.waitForRequests(1, kPatience));
    client->pause();
    send(*client, {});  // queued while paused
    client->resume();
    ASSERT_TRUE(outcomes.waitFor(2));
    ASSERT_TRUE(server.waitForRequests(3, kPatience));
    for (auto &outcome : outcomes.values()) EXPECT_EQ(outcome.status(), 200);
    EXPECT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(BCHttpClientTests, DisablingCompletesEveryPendingCallOnce) {
    auto client = makeClient();
    server.script(hang());
    send(*client, {});  // in flight
    ASSERT_TRUE(server.waitForRequests(1, kPatience));
    server.script(status(503));
    send(*client, {3600});  // waiting on its retry timer
    ASSERT_TRUE(server.waitForRequests(2, kPatience));
    client->pause();
    send(*client, {});  // queued while paused
    client->setEnabled(false);
    ASSERT_TRUE(outcomes.waitFor(3));
    for (auto &outcome : outcomes.values()) {
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain(), kBCErrorDomain);
        EXPECT_EQ(outcome.error->code(), kBCHttpClientCancelledErrorCode);
    }
    send(*client, {});
    ASSERT_TRUE(outcomes.waitFor(4));
    EXPECT_EQ(outcomes.values()[3].error->code(), kBCHttpClientDisabledErrorCode);

    client->setEnabled(true);
    client->resume();
    send(*client, {});
    ASSERT_TRUE(outcomes.waitFor(5));
    EXPECT_EQ(outcomes.values()[4].status(), 200);
    server.release();
    EXPECT_EQ(outcomes.size(), 5u);
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(BCHttpClientTests, DestroyingTheClientCompletesWhatIsPending) {
    auto client = makeClient();
    server.script(hang());
    send(*client, {});
    ASSERT_TRUE(server.waitForRequests(1, kPatience));
    client.reset();
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.values()[0].error->code(), kBCHttpClientCancelledErrorCode);
}

TEST_F(BCHttpClientTests, ReachabilityChangesPauseAndResume) {
    std::atomic<platform::reachability::Flags> flags{0};
    platform::reachability::NetworkReachability::setFlagsProviderForTesting(
        [&](const platform::reachability::NetworkReachability &) { return std::optional(flags.load()); });
    BCHttpClientConfiguration configuration;
    configuration.reachability = BC_Reachability::reachabilityForInternetConnection();
    auto client = BCHttpClient::make(configuration);
    using platform::dispatch::MainRunLoop;
    // The notifier posts once at start: the network is down.
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return client->isPaused(); }, kPatience));
    send(*client, {});
    flags = platform::reachability::kFlagsReachable;
    platform::reachability::NetworkReachability::simulateNetworkChangeForTesting();
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return !client->isPaused(); }, kPatience));
    EXPECT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.values()[0].status(), 200);
    client.reset();
    platform::reachability::NetworkReachability::setFlagsProviderForTesting(nullptr);
    MainRunLoop::runPending();
}
