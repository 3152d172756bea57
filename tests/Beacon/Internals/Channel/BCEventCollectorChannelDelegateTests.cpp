// The common-schema channel delegate: mirror units, epoch and sequence per
// instrumentation key, conversion of logs with target tokens, filtering of
// common-schema logs on ordinary units, and the JSON-lines request.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "BCChannelGroupDefault.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitProtocol.h"
#include "BCCommonSchemaLog.h"
#include "BCEventCollectorChannelDelegate.h"
#include "BCEventCollectorIngestion.h"
#include "BCLogDBStorage.h"
#include "BCSDKExtension.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"

using namespace channeltest;

namespace {

class EventCollectorDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        httpClient->setStatus(std::nullopt);
        group = BCChannelGroupDefault::make(ingestion, BCLogDBStorage::make());
        group->addDelegate(recorder.delegate());
        group->addDelegate(delegate);
        unit = group->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Source", 1, 60, 2, 3));
        drain(group->logsDispatchQueue());
    }
    void TearDown() override {
        group->setEnabledAndDeleteDataOnDisabled(false, false);
        drain(group->logsDispatchQueue());
    }

    std::shared_ptr<BCCommonSchemaLog> csLog(const std::string &iKey) {
        auto log = std::make_shared<BCCommonSchemaLog>();
        log->ver = "3.0";
        log->name = "event";
        log->iKey = iKey;
        log->setTimestamp(platform::Date::now());
        return log;
    }

    PipelineHome home;
    std::shared_ptr<FakeIngestion> ingestion = std::make_shared<FakeIngestion>();
    std::shared_ptr<FakeHttpClient> httpClient = std::make_shared<FakeHttpClient>();
    const platform::UUID installId = platform::UUID::random();
    std::shared_ptr<BCEventCollectorChannelDelegate> delegate =
        BCEventCollectorChannelDelegate::make(httpClient, installId, std::string("http://127.0.0.1:9"));
    std::shared_ptr<BCChannelGroupDefault> group;
    std::shared_ptr<BCChannelUnitProtocol> unit;
    RecordingDelegate recorder;
};

}  // namespace

TEST_F(EventCollectorDelegateTest, EachUnitGetsOneMirrorAndMirrorsGetNone) {
    auto mirror = delegate->mirrorUnitFor(unit);
    ASSERT_NE(mirror, nullptr);
    EXPECT_EQ(mirror->configuration()->groupId(), "Source/EventCollector");
    EXPECT_EQ(mirror->configuration()->batchSizeLimit(), 2u);
    EXPECT_EQ(delegate->mirrorUnitFor(mirror), nullptr);
    EXPECT_EQ(group->channelUnits().size(), 2u);
}

TEST_F(EventCollectorDelegateTest, CommonSchemaLogsCountUpPerInstrumentationKey) {
    auto mirror = delegate->mirrorUnitFor(unit);
    std::vector<std::shared_ptr<BCCommonSchemaLog>> logs = {csLog("o:abc"), csLog("o:abc"), csLog("o:xyz"),
                                                            csLog("o:abc")};
    for (const auto &log : logs) mirror->enqueueItem(log, BCFlagsNormal);
    drain(group->logsDispatchQueue());
    for (const auto &log : logs) {
        ASSERT_TRUE(log->ext && log->ext->sdkExt);
        EXPECT_EQ(log->ext->sdkExt->installId, installId);
        EXPECT_TRUE(platform::UUID::fromString(log->ext->sdkExt->epoch.value_or("")).has_value());
    }
    EXPECT_EQ(logs[0]->ext->sdkExt->seq, 1);
    EXPECT_EQ(logs[1]->ext->sdkExt->seq, 2);
    EXPECT_EQ(logs[3]->ext->sdkExt->seq, 3);
    EXPECT_EQ(logs[2]->ext->sdkExt->seq, 1);
    EXPECT_EQ(logs[0]->ext->sdkExt->epoch, logs[3]->ext->sdkExt->epoch);
    EXPECT_NE(logs[0]->ext->sdkExt->epoch, logs[2]->ext->sdkExt->epoch);
}

TEST_F(EventCollectorDelegateTest, ALogWithTargetsGoesToTheMirrorAsJsonLines) {
    auto log = validLog();
    log->addTransmissionTargetToken("abc-123");
    log->addTransmissionTargetToken("xyz-456");
    unit->enqueueItem(log, BCFlagsCritical);
    drain(group->logsDispatchQueue());

    std::vector<RecordingDelegate::Call> converted;
    for (const auto &call : recorder.calls("didPrepareLog"))
        if (std::dynamic_pointer_cast<BCCommonSchemaLog>(call.log)) converted.push_back(call);
    ASSERT_EQ(converted.size(), 2u);
    for (const auto &call : converted) EXPECT_EQ(call.flags, uint32_t(BCFlagsCritical));

    // The rows keep the target key in the clear and the token encrypted.
    const std::string rows = home.sqlite(
        "SELECT targetKey, targetToken != 'abc-123' AND targetToken != 'xyz-456', priority FROM logs "
        "WHERE groupId = 'Source/EventCollector' ORDER BY targetKey");
    EXPECT_EQ(rows, "abc|1|2\nxyz|1|2\n");

    ASSERT_TRUE(httpClient->waitForRequests(1));
    const auto request = httpClient->requests()[0];
    EXPECT_EQ(request.url, "http://127.0.0.1:9/EventCollector/1.0");
    EXPECT_EQ(request.headers.at("Content-Type"), "application/x-json-stream; charset=utf-8");
    std::vector<std::string> iKeys;
    std::istringstream lines(request.body);
    for (std::string line; std::getline(lines, line);) {
        const auto json = nlohmann::json::parse(line);
        iKeys.push_back(json["iKey"]);
        EXPECT_EQ(json["ext"]["sdk"]["seq"], 1);
    }
    std::sort(iKeys.begin(), iKeys.end());
    EXPECT_EQ(iKeys, (std::vector<std::string>{"o:abc", "o:xyz"}));
    EXPECT_EQ(request.body.back(), '\n');
}

TEST_F(EventCollectorDelegateTest, ACommonSchemaLogOnAnOrdinaryUnitIsNotStored) {
    unit->enqueueItem(csLog("o:abc"), BCFlagsNormal);
    ASSERT_TRUE(recorder.waitForCount("didCompleteEnqueueing", 1));
    drain(group->logsDispatchQueue());
    EXPECT_EQ(home.sqlite("SELECT COUNT(*) FROM logs"), "0\n");
}

TEST_F(EventCollectorDelegateTest, DisablingTheGroupDisablesTheEndpointAndTheMirrors) {
    auto mirror = delegate->mirrorUnitFor(unit);
    group->setEnabledAndDeleteDataOnDisabled(false, true);
    drain(group->logsDispatchQueue());
    drain(group->logsDispatchQueue());
    EXPECT_FALSE(delegate->ingestion()->isEnabled());
    mirror->enqueueItem(csLog("o:abc"), BCFlagsNormal);
    drain(group->logsDispatchQueue());
    EXPECT_EQ(home.sqlite("SELECT COUNT(*) FROM logs"), "0\n");
}
