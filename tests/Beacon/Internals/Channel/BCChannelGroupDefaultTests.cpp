// The channel group: new units, forwarding of unit callbacks to the group's
// delegates, weak delegates, its enabled state reaching the ingestion and
// every unit (also units added later), batches the ingestion refuses, and
// the storage size.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "BCBeaconIngestion.h"
#include "BCChannelGroupDefault.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitDefault.h"
#include "BCHttpClient.h"
#include "BCLogDBStorage.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"

using namespace channeltest;

namespace {

class ChannelGroupTest : public ::testing::Test {
protected:
    void SetUp() override { group = BCChannelGroupDefault::make(ingestion, BCLogDBStorage::make()); }
    void TearDown() override {
        group->setEnabledAndDeleteDataOnDisabled(false, false);
        drain(group->logsDispatchQueue());
    }

    PipelineHome home;
    std::shared_ptr<FakeIngestion> ingestion = std::make_shared<FakeIngestion>();
    std::shared_ptr<BCChannelGroupDefault> group;
};

// Forwards to the Beacon ingestion but always says it is ready, so that the
// unit sends while the ingestion still lacks its secret.
class AlwaysReadyIngestion : public BCIngestionProtocol {
public:
    explicit AlwaysReadyIngestion(std::shared_ptr<BCBeaconIngestion> ingestion) : ingestion_(std::move(ingestion)) {}
    bool isReadyToSend() const override { return true; }
    void sendAsync(std::shared_ptr<platform::Object> data, BCSendAsyncCompletionHandler handler) override {
        ingestion_->sendAsync(std::move(data), std::move(handler));
    }
    void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                   BCSendAsyncCompletionHandler handler) override {
        ingestion_->sendAsync(std::move(data), eTag, std::move(handler));
    }
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override {
        ingestion_->setEnabled(isEnabled, deleteDataOnDisabled);
    }

private:
    std::shared_ptr<BCBeaconIngestion> ingestion_;
};

}  // namespace

TEST_F(ChannelGroupTest, EveryAddMakesANewUnitAndTellsTheDelegates) {
    RecordingDelegate recorder;
    group->addDelegate(recorder.delegate());
    group->addDelegate(recorder.delegate());  // not added twice
    const BCChannelUnitConfiguration configuration("Crashes", 2, 1, 1, 3);
    auto first = group->addChannelUnitWithConfiguration(configuration);
    auto second = group->addChannelUnitWithConfiguration(configuration);
    EXPECT_NE(first, second);
    EXPECT_EQ(group->channelUnits().size(), 2u);
    EXPECT_EQ(recorder.count("didAddChannelUnit"), 2u);
    EXPECT_EQ(recorder.calls("didAddChannelUnit")[0].thread, std::this_thread::get_id());
}

TEST_F(ChannelGroupTest, UnitCallbacksReachOnlyLiveDelegatesThatRespond) {
    RecordingDelegate recorder;
    group->addDelegate(recorder.delegate());
    auto onlyPrepare = std::make_shared<BCChannelDelegate>();
    int prepared = 0;
    onlyPrepare->channelPrepareLog = [&](const auto &, const auto &) { ++prepared; };
    group->addDelegate(onlyPrepare);
    {
        auto gone = std::make_shared<BCChannelDelegate>();
        gone->channelPrepareLog = [](const auto &, const auto &) { ADD_FAILURE() << "a released delegate was called"; };
        group->addDelegate(gone);
    }
    auto unit = group->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Group", 1, 60, 50, 3));
    unit->enqueueItem(validLog(), BCFlagsNormal);
    ASSERT_TRUE(recorder.waitForCount("didCompleteEnqueueing", 1));
    EXPECT_EQ(prepared, 1);
    EXPECT_EQ(recorder.count("didPrepareLog"), 1u);

    group->removeDelegate(recorder.delegate());
    unit->enqueueItem(validLog(), BCFlagsNormal);
    drain(group->logsDispatchQueue());
    EXPECT_EQ(prepared, 2);
    EXPECT_EQ(recorder.count("didPrepareLog"), 1u);
}

TEST_F(ChannelGroupTest, DisablingReachesTheIngestionEveryUnitAndUnitsAddedLater) {
    RecordingDelegate recorder;
    group->addDelegate(recorder.delegate());
    auto unit = group->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Group", 1, 60, 1, 3));
    group->setEnabledAndDeleteDataOnDisabled(false, true);
    drain(group->logsDispatchQueue());
    auto later = group->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Later", 1, 60, 1, 3));
    drain(group->logsDispatchQueue());
    EXPECT_FALSE(ingestion->enabled());
    // One call per unit, then one for the group, each with the flags.
    ASSERT_EQ(recorder.count("didSetEnabled"), 2u);
    for (const auto &call : recorder.calls("didSetEnabled")) {
        EXPECT_FALSE(call.enabled);
        EXPECT_TRUE(call.deleteData);
    }
    // A unit added to a disabled group discards what it is given.
    later->enqueueItem(validLog(), BCFlagsNormal);
    drain(group->logsDispatchQueue());
    EXPECT_EQ(home.sqlite("SELECT COUNT(*) FROM logs"), "0\n");
    EXPECT_EQ(ingestion->sendCount(), 0u);

    group->setEnabledAndDeleteDataOnDisabled(true, false);
    later->enqueueItem(validLog(), BCFlagsNormal);
    EXPECT_TRUE(ingestion->waitForSends(1));
    EXPECT_TRUE(ingestion->enabled());
    (void)unit;
}

TEST_F(ChannelGroupTest, ABatchTheIngestionRefusesIsKeptAndSentByALaterFlush) {
    // A group of its own, sending through the Beacon ingestion.
    const auto httpClient = std::make_shared<FakeHttpClient>();
    httpClient->setStatus(200);
    const auto ingestion = BCBeaconIngestion::make(httpClient, "http://127.0.0.1:9", "installation");
    const auto beaconGroup =
        BCChannelGroupDefault::make(std::make_shared<AlwaysReadyIngestion>(ingestion), BCLogDBStorage::make());
    RecordingDelegate recorder;
    beaconGroup->addDelegate(recorder.delegate());
    // One batch in flight at most: a refused batch left in flight would stop
    // the unit for good.
    auto unit = beaconGroup->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Refused", 1, 1, 1, 1));
    const auto sentTypes = [&] {
        std::vector<std::string> types;
        for (const auto &request : httpClient->requests()) {
            const auto body = nlohmann::json::parse(request.body, nullptr, false);
            for (const auto &log : body.value("logs", nlohmann::json::array())) types.push_back(log.value("type", ""));
        }
        return types;
    };

    unit->enqueueItem(validLog("withoutSecret"), BCFlagsNormal);
    ASSERT_TRUE(recorder.waitForCount("didFail", 1, 30));
    EXPECT_EQ(recorder.calls("didFail")[0].error->code(), BCBeaconIngestion::kMissingAppSecretErrorCode);
    ingestion->setAppSecret("0123456789abcdef0123456789abcdef0123");
    ASSERT_TRUE(httpClient->waitForRequests(1, 30));
    EXPECT_EQ(sentTypes(), std::vector<std::string>{"withoutSecret"});

    ingestion->setEnabled(false, false);
    recorder.clear();
    unit->enqueueItem(validLog("whileDisabled"), BCFlagsNormal);
    ASSERT_TRUE(recorder.waitForCount("didFail", 1, 30));
    EXPECT_EQ(recorder.calls("didFail")[0].error->code(), kBCHttpClientDisabledErrorCode);
    ingestion->setEnabled(true, false);
    ASSERT_TRUE(httpClient->waitForRequests(2, 30));
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"withoutSecret", "whileDisabled"}));
    // Sent logs leave the store.
    Signal signal;
    EXPECT_TRUE(signal.waitFor([&] { return home.sqlite("SELECT COUNT(*) FROM logs") == "0\n"; }, 30));

    beaconGroup->setEnabledAndDeleteDataOnDisabled(false, false);
    drain(beaconGroup->logsDispatchQueue());
}

TEST_F(ChannelGroupTest, TheStorageSizeAnswerComesOnTheGroupQueue) {
    Signal signal;
    std::atomic<int> answer{-1};
    std::atomic<bool> onQueue{false};
    group->setMaxStorageSize(40960, [&](bool applied) {
        onQueue = group->logsDispatchQueue()->isCurrent();
        answer = applied;
        signal.notify();
    });
    ASSERT_TRUE(signal.waitFor([&] { return answer != -1; }));
    EXPECT_EQ(answer, 1);
    EXPECT_TRUE(onQueue);
}
