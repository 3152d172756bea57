// The ingestion endpoints against loopback servers: cpp-httplib, and an
// independent python http.server that keeps the raw body.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "BCBeaconIngestion.h"
#include "BCHttpClient.h"
#include "Beacon/Internals/Storage/StorageTestSupport.h"
#include "platform/foundation/Base64.h"
#include "support/Collector.h"
#include "support/LoopbackHttpServer.h"

using storagetest::makeLog;
using testsupport::Collector;
using testsupport::kPatience;

namespace {

const std::string kSecret = "0123456789abcdef0123456789abcdef0123";  // 36 characters
const std::string kInstallId = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

struct Outcome {
    std::optional<std::string> callId;
    std::shared_ptr<const platform::net::HTTPURLResponse> response;
    platform::ErrorPtr error;
};

std::shared_ptr<BCHttpClient> makeClient() {
    BCHttpClientConfiguration configuration;
    configuration.observeReachability = false;
    return BCHttpClient::make(configuration);
}

std::shared_ptr<BCLogContainer> container(size_t count, const std::string &batchId = "batch-1") {
    std::vector<std::shared_ptr<BCLog>> logs;
    for (size_t i = 0; i < count; ++i) logs.push_back(makeLog("log" + std::to_string(i)));
    return std::make_shared<BCLogContainer>(batchId, logs);
}

// A python http.server that answers 200 to `count` POSTs and writes each
// request as a JSON line: path, headers in order, raw body in base64.
class PythonServer {
public:
    PythonServer(const std::filesystem::path &dir, int count) : dump_(dir / "requests.jsonl") {
        auto script = dir / "server.py";
        std::ofstream(script) << R"(import base64, http.server, json, sys
out = open(sys.argv[1], 'w')
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        out.write(json.dumps({'path': self.path, 'headers': [[k, v] for k, v in self.headers.items()],
                              'body': base64.b64encode(body).decode()}) + '\n')
        out.flush()
        self.send_response(200)
        self.send_header('Content-Length', '0')
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
server.timeout = 10
print(server.server_address[1], flush=True)
for _ in range(int(sys.argv[2])):
    server.handle_request()
)";
        pipe_ = popen(
            ("timeout 60 python3 '" + script.string() + "' '" + dump_.string() + "' " + std::to_string(count)).c_str(),
            "r");
        char line[64] = {};
        if (pipe_ && fgets(line, sizeof line, pipe_)) port_ = std::atoi(line);
    }
    ~PythonServer() {
        if (pipe_) pclose(pipe_);
    }
    int port() const { return port_; }
    std::vector<nlohmann::json> requests() const {
        std::vector<nlohmann::json> result;
        std::ifstream in(dump_);
        for (std::string line; std::getline(in, line);) result.push_back(nlohmann::json::parse(line));
        return result;
    }

private:
    std::filesystem::path dump_;
    FILE *pipe_ = nullptr;
    int port_ = 0;
};

size_t countHeader(const nlohmann::json &request, const std::string &name) {
    size_t n = 0;
    for (const auto &pair : request["headers"])
        if (strcasecmp(pair[0].get<std::string>().c_str(), name.c_str()) == 0) ++n;
    return n;
}

std::string headerOf(const nlohmann::json &request, const std::string &name) {
    for (const auto &pair : request["headers"])
        if (strcasecmp(pair[0].get<std::string>().c_str(), name.c_str()) == 0) return pair[1];
    return "";
}

}  // namespace

class BCBeaconIngestionTests : public ::testing::Test {
protected:
    // Sends in the form with an eTag when one is given.
    void send(BCIngestionProtocol &ingestion, std::shared_ptr<platform::Object> data,
              const std::optional<std::string> &eTag = std::nullopt) {
        BCSendAsyncCompletionHandler handler = [this](const std::optional<std::string> &callId,
                                                      std::shared_ptr<const platform::net::HTTPURLResponse> response,
                                                      std::optional<platform::Data>, platform::ErrorPtr error) {
            outcomes.add({callId, response, error});
        };
        if (eTag) {
            ingestion.sendAsync(std::move(data), eTag, std::move(handler));
        } else {
            ingestion.sendAsync(std::move(data), std::move(handler));
        }
    }
    std::filesystem::path dir() const { return home.sdkDirectory().parent_path(); }

    storagetest::StoreHome home;
    testsupport::LoopbackHttpServer server;
    std::shared_ptr<BCHttpClient> client = makeClient();
    Collector<Outcome> outcomes;
};

TEST_F(BCBeaconIngestionTests, PostsTheBatchWithItsHeadersAndAnswersWithTheBatchId) {
    auto ingestion = BCBeaconIngestion::make(client, server.baseURL(), kInstallId);
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), server.baseURL() + "/logs?api-version=1.0.0");
    ingestion->setAppSecret(kSecret);
    auto small = container(1, "small-batch");
    auto large = container(12, "large-batch");
    send(*ingestion, small);
    ASSERT_TRUE(outcomes.waitFor(1));
    send(*ingestion, large, "an-etag");  // the same request
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_EQ(outcomes.values()[0].callId, "small-batch");
    EXPECT_EQ(outcomes.values()[1].callId, "large-batch");
    EXPECT_EQ(outcomes.values()[1].response->statusCode(), 200);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto &request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/logs");
        EXPECT_EQ(request.query, "api-version=1.0.0");
        EXPECT_EQ(request.header("App-Secret"), kSecret);
        EXPECT_EQ(request.header("Install-ID"), kInstallId);
        EXPECT_EQ(request.headerCount("Content-Type"), 1u);
        EXPECT_EQ(request.header("Content-Type"), "application/json");
    }
    ASSERT_LT(small->serializeLog()->size(), 1400u);
    ASSERT_GE(large->serializeLog()->size(), 1400u);
    EXPECT_EQ(requests[0].headerCount("Content-Encoding"), 0u);
    EXPECT_EQ(requests[1].header("Content-Encoding"), "gzip");
    EXPECT_EQ(requests[0].body, *small->serializeLog());
    EXPECT_EQ(requests[1].body, *large->serializeLog());
}

TEST_F(BCBeaconIngestionTests, AnIndependentServerSeesTheRawGzipBodyAndTheSameHeadersAsCurl) {
    PythonServer python(dir(), 2);
    ASSERT_GT(python.port(), 0);
    auto base = "http://127.0.0.1:" + std::to_string(python.port());
    auto ingestion = BCBeaconIngestion::make(client, base, kInstallId);
    ingestion->setAppSecret(kSecret);
    auto batch = container(12);
    send(*ingestion, batch);
    ASSERT_TRUE(outcomes.waitFor(1));

    // The same request by the curl CLI, as a baseline of the harness.
    auto raw = python.requests().at(0);
    auto gz = dir() / "body.gz";
    auto bytes = *platform::base64::decodeStrict(raw["body"].get<std::string>());
    std::ofstream(gz, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    EXPECT_EQ(testsupport::runCommand("gzip -dc '" + gz.string() + "'"), *batch->serializeLog());
    testsupport::runCommand(
        "curl -s --noproxy '*' --data-binary @'" + gz.string() +
        "' -H 'Content-Type: application/json' -H 'Content-Encoding: gzip' -H 'App-Secret: " + kSecret +
        "' -H 'Install-ID: " + kInstallId + "' '" + base + "/logs?api-version=1.0.0' >/dev/null");
    auto requests = python.requests();
    ASSERT_EQ(requests.size(), 2u);
    auto names = [](const nlohmann::json &request) {
        std::set<std::string> result;
        for (const auto &pair : request["headers"]) {
            std::string name = pair[0];
            for (auto &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (name != "user-agent" && name != "accept" && name != "accept-encoding") result.insert(name);
        }
        return result;
    };
    EXPECT_EQ(names(requests[0]), names(requests[1]));
    EXPECT_EQ(requests[0]["path"], requests[1]["path"]);
    EXPECT_EQ(requests[0]["body"], requests[1]["body"]);
    EXPECT_EQ(countHeader(requests[0], "Content-Type"), 1u);
    EXPECT_EQ(countHeader(requests[0], "Expect"), 0u);
    EXPECT_EQ(headerOf(requests[0], "Content-Encoding"), "gzip");
}

TEST_F(BCBeaconIngestionTests, InvalidContainersFailAtOnceAndNothingGoesOut) {
    auto ingestion = BCBeaconIngestion::make(client, server.baseURL(), kInstallId);
    ingestion->setAppSecret(kSecret);
    send(*ingestion, container(0, "empty-batch"));
    send(*ingestion, nullptr);
    ASSERT_EQ(outcomes.size(), 2u);  // at once, on the caller's thread
    auto empty = outcomes.values()[0];
    EXPECT_EQ(empty.callId, "empty-batch");
    ASSERT_TRUE(empty.error);
    EXPECT_EQ(empty.error->domain(), kBCErrorDomain);
    EXPECT_EQ(empty.error->code(), 1);
    EXPECT_EQ(empty.error->localizedDescription(), "Invalid log container.");
    EXPECT_FALSE(outcomes.values()[1].callId);
    EXPECT_TRUE(home.log.contains(BCLogLevelError, "Invalid log container."));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(BCBeaconIngestionTests, RefusalsWithoutASecretOrWhenDisabledAnswerOnceAndSendNothing) {
    // Each refusal answers at once, on the caller's thread, once, without a
    // response: the caller keeps the batch and sends it again later.
    auto ingestion = BCBeaconIngestion::make(client, server.baseURL(), kInstallId);
    EXPECT_FALSE(ingestion->isReadyToSend());
    send(*ingestion, container(1, "without-secret"));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(home.log.contains(BCLogLevelError, "Beacon ingestion is used without app secret."));
    ingestion->setAppSecret(kSecret);
    EXPECT_TRUE(ingestion->isReadyToSend());

    // Disabled: no request; enabled again, sends resume.
    ingestion->setEnabled(false, true);
    send(*ingestion, container(1, "while-disabled"));
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(home.log.contains(BCLogLevelError, "The ingestion is disabled; nothing is sent."));
    ingestion->setEnabled(true, false);
    send(*ingestion, container(1, "sent"));
    ASSERT_TRUE(outcomes.waitFor(3));
    const auto values = outcomes.values();
    ASSERT_EQ(values.size(), 3u);
    const std::pair<const char *, int64_t> refusals[] = {
        {"without-secret", BCBeaconIngestion::kMissingAppSecretErrorCode},
        {"while-disabled", kBCHttpClientDisabledErrorCode}};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(values[i].callId, refusals[i].first);
        EXPECT_FALSE(values[i].response);
        ASSERT_TRUE(values[i].error);
        EXPECT_EQ(values[i].error->domain(), kBCErrorDomain);
        EXPECT_EQ(values[i].error->code(), refusals[i].second);
    }
    EXPECT_EQ(values[2].callId, "sent");
    EXPECT_FALSE(values[2].error);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(BCBeaconIngestionTests, VerboseRequestLinesMaskTheSecret) {
    auto ingestion = BCBeaconIngestion::make(client, server.baseURL(), kInstallId);
    ingestion->setAppSecret(kSecret);
    send(*ingestion, container(1));
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_TRUE(home.log.contains(BCLogLevelVerbose, "URL: " + server.baseURL() + "/logs?api-version=1.0.0"));
    EXPECT_TRUE(home.log.contains(BCLogLevelVerbose, "Headers: App-Secret = " + std::string(28, '*') +
                                                         kSecret.substr(28) +
                                                         ", Content-Type = application/json, "
                                                         "Install-ID = " +
                                                         kInstallId));
}

TEST_F(BCBeaconIngestionTests, SendURLIsBuiltAndRebased) {
    auto url = BCHttpIngestion::buildURLWithBaseURL("https://a.example", "/p", {{"k", "a value"}});
    EXPECT_EQ(url->absoluteString(), "https://a.example/p?k=a%20value");
    EXPECT_EQ(BCHttpIngestion::buildURLWithBaseURL("https://a.example", "/p", {})->absoluteString(),
              "https://a.example/p");
    // One slash between the base and the path, whether the base ends with
    // one or not; a base with a path of its own keeps it.
    const std::map<std::string, std::string> version{{"api-version", "1.0.0"}};
    for (const char *base : {"https://x", "https://x/"}) {
        EXPECT_EQ(BCHttpIngestion::buildURLWithBaseURL(base, "/logs", version)->absoluteString(),
                  "https://x/logs?api-version=1.0.0")
            << base;
    }
    EXPECT_EQ(BCHttpIngestion::buildURLWithBaseURL("https://x/api/", "/logs", version)->absoluteString(),
              "https://x/api/logs?api-version=1.0.0");

    auto ingestion = BCHttpIngestion::make(client, "https://old.example:444", "/logs", {}, {{"api-version", "1.0.0"}});
    ingestion->setBaseURL("http://127.0.0.1:8080");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), "http://127.0.0.1:8080/logs?api-version=1.0.0");
    ingestion->setBaseURL("http://bad host");
    EXPECT_EQ(ingestion->sendURL()->absoluteString(), "http://127.0.0.1:8080/logs?api-version=1.0.0");
    EXPECT_TRUE(home.log.contains(BCLogLevelInfo,
                                  "Failed to update HTTP URL http://127.0.0.1:8080/logs?api-version=1.0.0 with "
                                  "http://bad host"));

    // An endpoint that never parsed answers every send with an error.
    auto broken = BCBeaconIngestion::make(client, "http://bad host", kInstallId);
    EXPECT_FALSE(broken->sendURL());
    broken->setAppSecret(kSecret);
    send(*broken, container(1, "kept"));
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_EQ(outcomes.values()[0].callId, "kept");
    EXPECT_EQ(outcomes.values()[0].error->code(), platform::net::kURLErrorBadURL);

    // On the wire: a base with a trailing slash, then rebased onto one with a
    // path of its own and a trailing slash.
    auto slashed = BCBeaconIngestion::make(client, server.baseURL() + "/", kInstallId);
    slashed->setAppSecret(kSecret);
    send(*slashed, container(1, "slashed"));
    ASSERT_TRUE(outcomes.waitFor(2));
    slashed->setBaseURL(server.baseURL() + "/api/");
    EXPECT_EQ(slashed->sendURL()->absoluteString(), server.baseURL() + "/api/logs?api-version=1.0.0");
    send(*slashed, container(1, "rebased"));
    ASSERT_TRUE(outcomes.waitFor(3));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/logs");
    EXPECT_EQ(requests[1].path, "/api/logs");
    EXPECT_EQ(requests[1].query, "api-version=1.0.0");
}

TEST_F(BCBeaconIngestionTests, ResponsesAreLoggedByContentTypeOnlyWhenVerbose) {
    auto ingestion = BCHttpIngestion::make(client, server.baseURL(), "/x", {}, {});
    auto response = [](const std::string &type) {
        return std::make_shared<const platform::net::HTTPURLResponse>(
            *platform::URL::parse("http://h/"), 200,
            std::vector<std::pair<std::string, std::string>>{{"Content-Type", type}});
    };
    platform::Data png{0x89, 'P', 'N', 'G'};
    ingestion->printResponse(response("image/png"), png, nullptr);
    EXPECT_TRUE(
        home.log.contains(BCLogLevelVerbose, "HTTP response received with status code: 200, payload:\n<binary>"));
    home.log.clear();
    BCLogger::setCurrentLogLevel(BCLogLevelDebug);
    ingestion->printResponse(response("image/png"), png, nullptr);
    EXPECT_TRUE(home.log.lines().empty());
}
