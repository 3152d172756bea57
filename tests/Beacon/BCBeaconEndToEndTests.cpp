// The whole pipeline for real: the SDK entry point, the log store in a
// temporary home, the libcurl client and a loopback server.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "BCChannelUnitDefault.h"
#include "BCCustomProperties.h"
#include "BCHttpClient.h"
#include "BCLogDBStorage.h"
#include "BCUtility.h"
#include "Beacon/Internals/Storage/StorageTestSupport.h"
#include "Beacon/BCTestService.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "support/LoopbackHttpServer.h"

using namespace channeltest;
using testsupport::LoopbackHttpServer;

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

class BeaconEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { launch(); }

    // One launch: a real client without a network watcher, the server as
    // the log URL, the SDK started with the test service.
    void launch() {
        BCHttpClientConfiguration configuration;
        configuration.observeReachability = false;
        configuration.connectTimeout = 5;
        configuration.idleTimeout = 5;
        client = BCHttpClient::make(configuration);
        home.injectHttpClient(client);
        BCBeacon::setLogUrl(server.baseURL());
        BCBeacon::start(kSecret, BCBeacon::Services{&BCTestService::serviceClass()});
        group = BCBeacon::sharedInstance()->channelGroup();
        group->addDelegate(recorder.delegate());
        testUnit = BCTestService::sharedInstance()->channelUnit();
    }

    int rows(const std::string &where = "1") {
        try {
            return std::stoi(home.sqlite("SELECT COUNT(*) FROM logs WHERE " + where));
        } catch (const std::exception &) {
            return -1;
        }
    }
    bool waitForRows(int count, const std::string &where = "1") {
        Signal signal;
        return signal.waitFor([&] { return rows(where) == count; }, 10);
    }
    static nlohmann::json body(const LoopbackHttpServer::Request &request) {
        return nlohmann::json::parse(request.body, nullptr, false);
    }

    LoopbackHttpServer server;
    BeaconHome home;
    RecordingDelegate recorder;
    std::shared_ptr<BCHttpClient> client;
    std::shared_ptr<BCChannelGroupDefault> group;
    std::shared_ptr<BCChannelUnitProtocol> testUnit;
};

}  // namespace

TEST(BeaconEndToEndHold, TheStartServiceLogIsStoredThenDeliveredAndDeleted) {
    LoopbackHttpServer server;
    BeaconHome home;
    LoopbackHttpServer::Answer hold;
    hold.hang = true;
    server.script(hold);
    BCHttpClientConfiguration configuration;
    configuration.observeReachability = false;
    home.injectHttpClient(BCHttpClient::make(configuration));
    BCBeacon::setLogUrl(server.baseURL());
    BCBeacon::start(kSecret, BCBeacon::Services{&BCTestService::serviceClass()});

    ASSERT_TRUE(server.waitForRequests(1, 10));
    EXPECT_EQ(home.sqlite("SELECT groupId, priority, targetKey IS NULL FROM logs"), "Beacon|1|1\n");
    const std::string archive = testsupport::runCommand("sqlite3 '" + home.databasePath().string() +
                                                        "' 'SELECT log FROM logs' | base64 -d | grep -c startService");
    EXPECT_EQ(archive, "1\n");
    server.release();

    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, "api-version=1.0.0");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("app-secret"), kSecret);
    const auto installId = BCBeaconUserDefaults::shared()->objectForKey("InstallId");
    ASSERT_TRUE(installId.isString());
    EXPECT_EQ(request.header("install-id"), *installId.string());
    const auto json = nlohmann::json::parse(request.body);
    ASSERT_EQ(json["logs"].size(), 1u);
    const auto &log = json["logs"][0];
    EXPECT_EQ(log["type"], "startService");
    EXPECT_EQ(log["services"], nlohmann::json::array({"TestService"}));
    EXPECT_TRUE(log.contains("device"));
    EXPECT_TRUE(
        std::regex_match(log["timestamp"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    Signal signal;
    EXPECT_TRUE(signal.waitFor([&] { return home.sqlite("SELECT COUNT(*) FROM logs") == "0\n"; }, 10));
}

TEST_F(BeaconEndToEndTest, AServerErrorIsRetriedAndTheLogDeliveredOnce) {
    LoopbackHttpServer::Answer error;
    error.status = 500;
    error.headers = {{"x-bc-retry-after-ms", "20"}};
    server.script(error);
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    ASSERT_TRUE(recorder.waitForCount("didSucceed", 1, 10));
    home.settle();
    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_EQ(recorder.count("didFail"), 0u);
    EXPECT_TRUE(waitForRows(0, "groupId = 'TestService'"));
}

TEST_F(BeaconEndToEndTest, ARedirectElsewhereKeepsTheLogStoredUntilItIsDelivered) {
    LoopbackHttpServer other;
    LoopbackHttpServer::Answer redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", other.baseURL() + "/logs"}, {"x-bc-retry-after-ms", "20"}};
    server.setDefaultAnswer(redirect);
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    auto testBodies = [&] {
        std::vector<std::string> bodies;
        for (const auto &request : server.requests()) {
            const auto json = body(request);
            if (json.is_object() && json["logs"][0].value("type", "") != "startService") bodies.push_back(request.body);
        }
        return bodies;
    };
    Signal signal;
    ASSERT_TRUE(signal.waitFor([&] { return testBodies().size() >= 2; }, 10));
    EXPECT_EQ(rows("groupId = 'TestService'"), 1) << "redirected twice, the log is still stored";
    server.setDefaultAnswer(LoopbackHttpServer::Answer());
    ASSERT_TRUE(recorder.waitForCount("didSucceed", 1, 20));
    EXPECT_TRUE(waitForRows(0, "groupId = 'TestService'"));
    const auto bodies = testBodies();
    ASSERT_GE(bodies.size(), 3u);
    for (const auto &sent : bodies) EXPECT_EQ(sent, bodies[0]) << "the same batch each time";
    EXPECT_EQ(other.requestCount(), 0u);
}

TEST_F(BeaconEndToEndTest, ANonRecoverableStatusDeletesOnlyThatServiceLogs) {
    LoopbackHttpServer::Answer refused;
    refused.status = 400;
    server.script(refused);
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    ASSERT_TRUE(recorder.waitForCount("didFail", 1, 10));
    home.settle();
    EXPECT_EQ(rows("groupId = 'TestService'"), 0);
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    home.settle();
    EXPECT_EQ(rows("groupId = 'TestService'"), 0) << "the disabled unit discards";

    // The SDK's own unit still delivers: its start-service log arrives.
    Signal signal;
    EXPECT_TRUE(signal.waitFor(
        [&] {
            for (const auto &request : server.requests()) {
                const auto json = body(request);
                if (json.is_object() && json["logs"][0].value("type", "") == "startService") return true;
            }
            return false;
        },
        10));
}

TEST_F(BeaconEndToEndTest, DisablingDeletesStoredLogsAndIgnoresTheLateAnswer) {
    LoopbackHttpServer::Answer hold;
    hold.hang = true;
    server.script(hold);
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    ASSERT_TRUE(server.waitForRequests(1, 10));
    BCBeacon::setEnabled(false);
    home.settle();
    EXPECT_EQ(rows(), 0);
    ASSERT_GE(recorder.count("didFail"), 1u);
    for (const auto &failure : recorder.calls("didFail")) {
        EXPECT_EQ(failure.error->code(), kBCConnectionPausedErrorCode);
    }
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    home.settle();
    EXPECT_EQ(rows(), 0) << "logs enqueued while disabled are not stored";
    server.release();
    ASSERT_TRUE(server.waitForFinished(1, 10));
    home.settle();
    EXPECT_EQ(recorder.count("didSucceed"), 0u);

    BCBeacon::setEnabled(true);
    testUnit->enqueueItem(validLog(), BCFlagsNormal);
    EXPECT_TRUE(recorder.waitForCount("didSucceed", 1, 10));
}

TEST_F(BeaconEndToEndTest, LogsStoredInOneLaunchAreSentInTheNext) {
    LoopbackHttpServer::Answer hold;
    hold.hang = true;
    server.setDefaultAnswer(hold);
    for (int i = 0; i < 3; ++i) testUnit->enqueueItem(validLog(), BCFlagsNormal);
    ASSERT_TRUE(server.waitForRequests(3, 10));
    EXPECT_TRUE(waitForRows(3, "groupId = 'TestService'"));

    // The process ends with its sends unanswered: its client gives up on
    // them, and the next launch finds the rows.
    client->setEnabled(false);
    home.relaunch();
    EXPECT_EQ(rows("groupId = 'TestService'"), 3);
    server.setDefaultAnswer(LoopbackHttpServer::Answer());
    server.release();
    ASSERT_TRUE(server.waitForFinished(3, 10));
    recorder.clear();
    launch();
    EXPECT_TRUE(server.waitForRequests(6, 15));
    EXPECT_TRUE(recorder.waitForCount("didSucceed", 3, 15));
    EXPECT_TRUE(waitForRows(0, "groupId = 'TestService'"));
}

TEST_F(BeaconEndToEndTest, AFullBatchGoesAtOnceCompressed) {
    auto properties = std::make_shared<BCCustomProperties>();
    properties->setString("draft", "chapter");
    for (int i = 0; i < 50; ++i) BCBeacon::setCustomProperties(properties);
    // The 50th log fills a batch of the SDK's unit, which goes at once; the
    // start-service log may share it.
    Signal signal;
    std::optional<LoopbackHttpServer::Request> batch;
    size_t customProperties = 0;
    ASSERT_TRUE(signal.waitFor(
        [&] {
            customProperties = 0;
            for (const auto &request : server.requests()) {
                const auto json = body(request);
                if (!json.is_object()) continue;
                if (json["logs"].size() == 50 && !batch) batch = request;
                for (const auto &log : json["logs"]) customProperties += log["type"] == "customProperties";
            }
            return batch && customProperties == 50;
        },
        10));
    EXPECT_EQ(batch->header("content-encoding"), "gzip");
}

TEST_F(BeaconEndToEndTest, CriticalLogsAreStoredWithTheirPriorityAndSentFirst) {
    auto owner = std::make_shared<int>(0);
    testUnit->pauseWithIdentifyingObject(owner);
    auto normal = validLog("normalLog");
    auto critical = validLog("criticalLog");
    testUnit->enqueueItem(normal, BCFlagsNormal);
    testUnit->enqueueItem(critical, BCFlagsCritical);
    home.settle();
    EXPECT_EQ(home.sqlite("SELECT priority FROM logs WHERE groupId = 'TestService' ORDER BY id"), "1\n2\n");
    testUnit->resumeWithIdentifyingObject(owner);
    ASSERT_TRUE(recorder.waitForCount("didSucceed", 2, 10));
    // Two batches may be in flight at once, so the server may see them in
    // either order; the unit hands them out by priority.
    std::vector<std::string> order;
    for (const auto &call : recorder.calls("willSend")) {
        const auto type = call.log ? call.log->type().value_or("") : "";
        if (type == "criticalLog" || type == "normalLog") order.push_back(type);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"criticalLog", "normalLog"}));
    EXPECT_GE(server.requests().size(), 2u);
}

TEST_F(BeaconEndToEndTest, WhileTheClientIsPausedLogsAreStoredAndNoneIsLost) {
    home.settle();
    const size_t before = server.requestCount();
    client->pause();
    for (int i = 0; i < 5; ++i) testUnit->enqueueItem(validLog(), BCFlagsNormal);
    EXPECT_TRUE(waitForRows(5, "groupId = 'TestService'"));
    EXPECT_FALSE(server.waitForRequests(before + 1, 0.5)) << "nothing goes out while paused";
    client->resume();
    EXPECT_TRUE(recorder.waitForCount("didSucceed", 5, 15));
    EXPECT_TRUE(waitForRows(0, "groupId = 'TestService'"));
    EXPECT_EQ(recorder.count("didFail"), 0u);
}

// Two running copies of the application share one store: each stores its
// own logs, one at a time sends, and every log reaches the server once.
TEST(BeaconTwoInstances, SharingOneStoreEachLogArrivesOnce) {
    if (storagetest::isChild()) GTEST_SKIP() << "the parent of the two instances";
    testsupport::TemporaryDirectory shared;
    LoopbackHttpServer server;
    // Slow answers keep batches in flight while the other instance stores.
    LoopbackHttpServer::Answer slow;
    slow.delaySeconds = 0.05;
    server.setDefaultAnswer(slow);
    auto instance = [&](const std::string &name) {
        return storagetest::runChildTest("BeaconTwoInstancesChild.StoresAndSends",
                                         "env PLOTWICK_SHARED_SDK='" + (shared.path() / "sdk").string() +
                                             "' PLOTWICK_SERVER='" + server.baseURL() + "' PLOTWICK_INSTANCE=" + name);
    };
    auto first = std::async(std::launch::async, instance, "A");
    auto second = std::async(std::launch::async, instance, "B");
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);

    std::map<std::string, int> arrivals;
    for (const auto &request : server.requests()) {
        const auto json = nlohmann::json::parse(request.body, nullptr, false);
        if (!json.is_object() || !json.contains("logs")) continue;
        for (const auto &log : json["logs"]) ++arrivals[log.value("type", "")];
    }
    EXPECT_EQ(arrivals.size(), 200u);
    for (const auto &[type, count] : arrivals) EXPECT_EQ(count, 1) << type;
}

TEST(BeaconTwoInstancesChild, StoresAndSends) {
    const char *sdk = std::getenv("PLOTWICK_SHARED_SDK");
    if (!storagetest::isChild() || !sdk) GTEST_SKIP() << "runs in a child process";
    modeltest::SdkHome home;
    BCUtility::setBeaconDirectoryURLForTesting(sdk);
    BCHttpClientConfiguration configuration;
    configuration.observeReachability = false;
    auto group = BCChannelGroupDefault::make(BCHttpClient::make(configuration), platform::UUID::random(),
                                             std::getenv("PLOTWICK_SERVER"));
    group->setAppSecret(kSecret);
    auto unit = group->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Shared", 1, 1, 10, 3));
    const std::string name = std::getenv("PLOTWICK_INSTANCE");
    // Both instances start storing together.
    Signal signal;
    std::ofstream(std::filesystem::path(sdk) / (name + ".ready")) << name;
    if (!signal.waitFor(
            [&] {
                return std::filesystem::exists(std::filesystem::path(sdk) / "A.ready") &&
                       std::filesystem::exists(std::filesystem::path(sdk) / "B.ready");
            },
            60))
        _exit(4);
    for (int i = 0; i < 100; ++i) unit->enqueueItem(validLog(name + std::to_string(i)), BCFlagsNormal);
    if (!drain(group->logsDispatchQueue(), 60)) _exit(2);
    // Stays until every stored log went out, sent by either instance.
    auto reader = BCLogDBStorage::make();
    _exit(signal.waitFor([&] { return reader->countLogs() == 0; }, 90) ? 0 : 3);
}
