// The channel group: new units, forwarding of unit callbacks to the group's
// delegates, weak delegates, its enabled state reaching the ingestion and
// every unit (also units added later), and the storage size.
#include <gtest/gtest.h>

#include "BCChannelGroupDefault.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitDefault.h"
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
