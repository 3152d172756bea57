// The channel unit over the real log store and a fake ingestion: preparing
// and storing, batching by size and by timer, the pending-batches limit, the
// outcome of each send, disabling with deletion and pauses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <random>
#include <set>

#include <sqlite3.h>

#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitDefault.h"
#include "BCCommonSchemaLog.h"
#include "BCHttpClient.h"
#include "BCLogDBStorage.h"
#include "platform/dispatch/Dispatch.h"

using namespace channeltest;

namespace {

constexpr const char *kGroupId = "TestGroup";

class ChannelUnitTest : public ::testing::Test {
protected:
    void SetUp() override {
        group = BCChannelGroupDefault::make(ingestion, BCLogDBStorage::make());
        group->addDelegate(recorder.delegate());
    }

    void TearDown() override {
        // Stops the timers; held sends are answered by nobody.
        group->setEnabledAndDeleteDataOnDisabled(false, false);
        ASSERT_TRUE(drain(group->logsDispatchQueue()));
    }

    std::shared_ptr<BCChannelUnitProtocol> addUnit(unsigned long interval, unsigned long batchSize,
                                                   unsigned long pendingBatches = 3) {
        auto unit = group->addChannelUnitWithConfiguration(
            BCChannelUnitConfiguration(kGroupId, 1, interval, batchSize, pendingBatches));
        drain(group->logsDispatchQueue());
        return unit;
    }

    std::vector<std::shared_ptr<BCAbstractLog>> enqueue(const std::shared_ptr<BCChannelUnitProtocol> &unit,
                                                        size_t count, uint32_t flags = BCFlagsNormal) {
        std::vector<std::shared_ptr<BCAbstractLog>> logs;
        for (size_t i = 0; i < count; ++i) {
            logs.push_back(validLog());
            unit->enqueueItem(logs.back(), flags);
        }
        drain(group->logsDispatchQueue());
        return logs;
    }

    // -1 when the count cannot be read.
    static int count(const std::string &output) {
        try {
            return std::stoi(output);
        } catch (const std::exception &) {
            return -1;
        }
    }
    int storedRows() { return count(home.sqlite("SELECT COUNT(*) FROM logs")); }
    int groupRows() {
        return count(home.sqlite(std::string("SELECT COUNT(*) FROM logs WHERE groupId = '") + kGroupId + "'"));
    }
    void settle() {
        drain(group->logsDispatchQueue());
        drain(group->logsDispatchQueue());
    }

    PipelineHome home;
    modeltest::LogCapture capture;
    std::shared_ptr<FakeIngestion> ingestion = std::make_shared<FakeIngestion>();
    std::shared_ptr<BCChannelGroupDefault> group;
    RecordingDelegate recorder;
};

// The results an enqueue completion was called with, and on which thread.
class ResultRecorder {
public:
    BCEnqueueCompletion completion(const std::string &name) {
        return [this, name](BCEnqueueResult result) {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.push_back({name, result, std::this_thread::get_id()});
            changed_.notify_all();
        };
    }
    struct Result {
        std::string name;
        BCEnqueueResult result;
        std::thread::id thread;
    };
    std::vector<Result> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return results_.size() >= count; });
        return results_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Result> results_;
};

// Holds the queue in one of its blocks until released (or a minute passed),
// so that the saves queued meanwhile wait there together.
class QueueHold {
public:
    explicit QueueHold(const std::shared_ptr<platform::dispatch::Queue> &queue) {
        platform::dispatch::async(queue, [state = state_] {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->changed.wait_for(lock, std::chrono::seconds(60), [&] { return state->released; });
        });
    }
    ~QueueHold() { release(); }
    void release() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->released = true;
        state_->changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The file change counter of an SQLite database: one more per write
// transaction.
uint32_t changeCounter(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char bytes[28] = {};
    in.read(reinterpret_cast<char *>(bytes), sizeof bytes);
    return (uint32_t(bytes[24]) << 24) | (uint32_t(bytes[25]) << 16) | (uint32_t(bytes[26]) << 8) | bytes[27];
}

bool isCanceledError(const platform::ErrorPtr &error) {
    return error && error->domain() == kBCErrorDomain && error->code() == kBCConnectionPausedErrorCode &&
           error->localizedDescription() == kBCConnectionPausedErrorDesc;
}

}  // namespace

TEST_F(ChannelUnitTest, RefusesNullAndInvalidLogsWithAWarningAndNoCallback) {
    auto unit = addUnit(60, 50);
    recorder.clear();
    ResultRecorder results;
    unit->enqueueItem(nullptr, BCFlagsNormal, results.completion("null"));
    auto invalid = std::make_shared<BCAbstractLog>();  // no type
    unit->enqueueItem(invalid, BCFlagsNormal, results.completion("invalid"));
    unit->enqueueItem(invalid, BCFlagsNormal);
    settle();
    EXPECT_TRUE(recorder.calls().empty());
    // Such a log never becomes storable: the completion says so, on the queue.
    const auto answered = results.waitFor(2);
    ASSERT_EQ(answered.size(), 2u);
    for (const auto &answer : answered) {
        EXPECT_EQ(answer.result, BCEnqueueResult::Unstorable) << answer.name;
        EXPECT_NE(answer.thread, std::this_thread::get_id()) << answer.name;
    }
    EXPECT_TRUE(capture.contains(BCLogLevelWarning, "Cannot enqueue a null log."));
    EXPECT_TRUE(capture.contains(BCLogLevelWarning, "Log of type '(null)' is not valid; it is dropped."));
    EXPECT_EQ(storedRows(), 0);
}

TEST_F(ChannelUnitTest, PreparesOnTheCallerAndCompletesOnTheQueueOnce) {
    auto unit = addUnit(60, 50);
    recorder.clear();
    auto log = std::make_shared<BCAbstractLog>();
    log->setType("testLog");
    unit->enqueueItem(log, BCFlagsCritical);
    ASSERT_TRUE(recorder.waitForCount("didCompleteEnqueueing", 1));
    settle();

    EXPECT_TRUE(log->timestamp().has_value());
    EXPECT_NE(log->device(), nullptr);
    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].name, "prepareLog");
    EXPECT_EQ(calls[1].name, "didPrepareLog");
    EXPECT_EQ(calls[2].name, "didCompleteEnqueueing");
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[1].thread, std::this_thread::get_id());
    EXPECT_NE(calls[2].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[1].flags, uint32_t(BCFlagsCritical));
    EXPECT_EQ(calls[1].internalId, calls[2].internalId);
    const auto uuid = platform::UUID::fromString(calls[1].internalId);
    ASSERT_TRUE(uuid.has_value());
    EXPECT_EQ(calls[1].internalId, uuid->UUIDString());
    EXPECT_EQ(home.sqlite("SELECT groupId, priority FROM logs"), std::string(kGroupId) + "|2\n");
}

TEST_F(ChannelUnitTest, CompletesEnqueueingOnceWhetherStoredFilteredOrDiscarded) {
    auto filter = std::make_shared<BCChannelDelegate>();
    filter->channelShouldFilterLog = [](const auto &, const auto &log) { return log->type() == "filtered"; };
    group->addDelegate(filter);
    auto unit = addUnit(60, 50);
    recorder.clear();

    ResultRecorder results;
    unit->enqueueItem(validLog("kept"), BCFlagsNormal, results.completion("kept"));
    unit->enqueueItem(validLog("filtered"), BCFlagsNormal, results.completion("filtered"));
    unit->setEnabledAndDeleteDataOnDisabled(false, true);
    unit->enqueueItem(validLog("discarded"), BCFlagsNormal, results.completion("discarded"));
    settle();

    // Each completion is called once, in order, with what became of its log.
    const auto answered = results.waitFor(3);
    ASSERT_EQ(answered.size(), 3u);
    EXPECT_EQ(answered[0].name, "kept");
    EXPECT_EQ(answered[0].result, BCEnqueueResult::Saved);
    EXPECT_EQ(answered[1].name, "filtered");
    EXPECT_EQ(answered[1].result, BCEnqueueResult::Discarded);
    EXPECT_EQ(answered[2].name, "discarded");
    EXPECT_EQ(answered[2].result, BCEnqueueResult::Discarded);

    const auto completed = recorder.calls("didCompleteEnqueueing");
    ASSERT_EQ(completed.size(), 3u);
    std::set<std::string> ids;
    for (const auto &call : completed) ids.insert(call.internalId);
    EXPECT_EQ(ids.size(), 3u);
    // The stored one was deleted by the disable and reported failed.
    EXPECT_EQ(storedRows(), 0);
    ASSERT_EQ(recorder.count("didFail"), 1u);
    EXPECT_EQ(recorder.calls("didFail")[0].log->type(), "kept");
    EXPECT_TRUE(
        capture.contains(BCLogLevelWarning, "Channel TestGroup disabled in log discarding mode, discard this log."));
}

TEST_F(ChannelUnitTest, TellsALockedStoreFromALogTooLargeForIt) {
    auto unit = addUnit(60, 50);
    ResultRecorder results;
    unit->enqueueItem(validLog("first"), BCFlagsNormal, results.completion("first"));
    ASSERT_EQ(results.waitFor(1).size(), 1u);

    // Another connection holds the write lock past the store's busy timeout.
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(home.databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    unit->enqueueItem(validLog("locked"), BCFlagsNormal, results.completion("locked"));
    const auto whileLocked = results.waitFor(2);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_EQ(whileLocked.size(), 2u);
    EXPECT_EQ(whileLocked[1].result, BCEnqueueResult::Failed);

    // A log larger than the whole store can never be stored.
    std::promise<bool> applied;
    group->setMaxStorageSize(40960, [&](bool done) { applied.set_value(done); });
    ASSERT_TRUE(applied.get_future().get());
    auto huge = validLog("huge");
    huge->setUserId(std::string(64 * 1024, 'x'));
    unit->enqueueItem(huge, BCFlagsNormal, results.completion("huge"));
    const auto answered = results.waitFor(3);
    ASSERT_EQ(answered.size(), 3u);
    EXPECT_EQ(answered[0].result, BCEnqueueResult::Saved);
    EXPECT_EQ(answered[2].result, BCEnqueueResult::Unstorable);
    EXPECT_EQ(storedRows(), 1);
}

// Saves that waited on the queue together are one transaction of the store,
// and each log still gets its own outcome and its own didCompleteEnqueueing,
// in enqueue order.
TEST_F(ChannelUnitTest, SavesThatWaitTogetherAreStoredInOneTransactionEachWithItsOutcome) {
    auto filter = std::make_shared<BCChannelDelegate>();
    filter->channelShouldFilterLog = [](const auto &, const auto &log) { return log->type() == "filtered"; };
    group->addDelegate(filter);
    auto unit = addUnit(60, 50);
    std::promise<bool> applied;
    group->setMaxStorageSize(40960, [&](bool done) { applied.set_value(done); });
    ASSERT_TRUE(applied.get_future().get());
    settle();
    recorder.clear();
    const uint32_t before = changeCounter(home.databasePath());

    ResultRecorder results;
    auto huge = validLog("huge");
    huge->setUserId(std::string(64 * 1024, 'x'));
    {
        QueueHold hold(group->logsDispatchQueue());
        unit->enqueueItem(validLog("a"), BCFlagsNormal, results.completion("a"));
        unit->enqueueItem(validLog("filtered"), BCFlagsNormal, results.completion("filtered"));
        unit->enqueueItem(huge, BCFlagsNormal, results.completion("huge"));
        unit->enqueueItem(validLog("b"), BCFlagsNormal);
        unit->enqueueItem(validLog("c"), BCFlagsNormal, results.completion("c"));
    }
    const auto answered = results.waitFor(4);
    settle();
    ASSERT_EQ(answered.size(), 4u);
    EXPECT_EQ(answered[0].name, "a");
    EXPECT_EQ(answered[0].result, BCEnqueueResult::Saved);
    EXPECT_EQ(answered[1].result, BCEnqueueResult::Discarded);
    EXPECT_EQ(answered[2].result, BCEnqueueResult::Unstorable);
    EXPECT_EQ(answered[3].name, "c");
    EXPECT_EQ(answered[3].result, BCEnqueueResult::Saved);
    EXPECT_EQ(changeCounter(home.databasePath()), before + 1);
    EXPECT_EQ(storedRows(), 3);

    const auto prepared = recorder.calls("didPrepareLog");
    const auto completed = recorder.calls("didCompleteEnqueueing");
    ASSERT_EQ(prepared.size(), 5u);
    ASSERT_EQ(completed.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(completed[i].internalId, prepared[i].internalId) << i;
}

// A flood the store cannot keep up with: no more than the bound of saves
// wait; the logs beyond it are refused, each through its completion or, for
// the plain enqueue, still with its one didCompleteEnqueueing, and a warning
// says so (not once per log). Once the saves caught up, logs are taken again.
TEST_F(ChannelUnitTest, BeyondTheBoundOfWaitingSavesLogsAreRefusedAndToldSo) {
    auto unit = addUnit(60, 50);
    BCLogger::setCurrentLogLevel(BCLogLevelWarning);  // keep the capture small
    recorder.clear();
    capture.clear();
    ResultRecorder results;
    {
        QueueHold hold(group->logsDispatchQueue());
        for (size_t i = 0; i < kBCMaxWaitingSaves; ++i) unit->enqueueItem(validLog(), BCFlagsNormal);
        for (int i = 0; i < 5; ++i) unit->enqueueItem(validLog("refused"), BCFlagsNormal);
        for (int i = 0; i < 5; ++i) {
            unit->enqueueItem(validLog("refused"), BCFlagsNormal, results.completion(std::to_string(i)));
        }
    }
    const auto refused = results.waitFor(5);
    ASSERT_TRUE(recorder.waitForCount("didCompleteEnqueueing", kBCMaxWaitingSaves + 10, 60));
    ASSERT_EQ(refused.size(), 5u);
    for (const auto &answer : refused) {
        EXPECT_EQ(answer.result, BCEnqueueResult::Refused) << answer.name;
        // At once: a refusal queued behind the saves would hold its log as long.
        EXPECT_EQ(answer.thread, std::this_thread::get_id()) << answer.name;
    }
    EXPECT_EQ(storedRows(), int(kBCMaxWaitingSaves));
    std::set<std::string> ids;
    for (const auto &call : recorder.calls("didCompleteEnqueueing")) ids.insert(call.internalId);
    EXPECT_EQ(ids.size(), kBCMaxWaitingSaves + 10);
    size_t warnings = 0;
    for (const auto &[level, line] : capture.lines()) {
        if (level == BCLogLevelWarning && line.find("refuses new logs") != std::string::npos) ++warnings;
    }
    EXPECT_EQ(warnings, 1u);
    EXPECT_TRUE(capture.contains(BCLogLevelWarning,
                                 "Channel TestGroup refuses new logs: 4096 logs are waiting to be "
                                 "stored (1 refused since the last warning)."));

    unit->enqueueItem(validLog("after"), BCFlagsNormal, results.completion("after"));
    const auto after = results.waitFor(6);
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after[5].result, BCEnqueueResult::Saved);
}

TEST_F(ChannelUnitTest, AFullBatchIsSentAtOnce) {
    auto unit = addUnit(60, 5);
    enqueue(unit, 4);
    EXPECT_EQ(ingestion->sendCount(), 0u);
    enqueue(unit, 1);
    ASSERT_TRUE(ingestion->waitForSends(1));
    EXPECT_EQ(ingestion->sends()[0].logs.size(), 5u);
    EXPECT_EQ(recorder.count("willSend"), 5u);
}

TEST_F(ChannelUnitTest, TheTimerSendsAPartialBatchAndKeepsItsStartTimeMeanwhile) {
    auto unit = addUnit(1, 50);
    const std::string key = std::string("ChannelStartTimer:") + kGroupId;
    enqueue(unit, 2);
    EXPECT_TRUE(BCBeaconUserDefaults::shared()->objectForKey(key).isDate());
    EXPECT_EQ(ingestion->sendCount(), 0u);
    ASSERT_TRUE(ingestion->waitForSends(1, 3));
    settle();
    EXPECT_EQ(ingestion->sends()[0].logs.size(), 2u);
    EXPECT_TRUE(BCBeaconUserDefaults::shared()->objectForKey(key).isNull());
}

TEST_F(ChannelUnitTest, ALogThatWaitedLongerThanTheIntervalIsSentWhenTheUnitStarts) {
    // Stored by an earlier launch, whose timer started long ago.
    ASSERT_TRUE(group->storage()->saveLog(validLog(), kGroupId, BCFlagsNormal));
    BCBeaconUserDefaults::shared()->setObject(platform::Date::now().dateByAddingTimeInterval(-120),
                                              std::string("ChannelStartTimer:") + kGroupId);
    addUnit(60, 50);
    EXPECT_TRUE(ingestion->waitForSends(1, 3));
}

TEST_F(ChannelUnitTest, NoMoreBatchesThanTheLimitAreInFlight) {
    // The default limit: three batches.
    auto unit =
        addUnit(60, 1, BCChannelUnitConfiguration::defaultConfigurationWithGroupId(kGroupId).pendingBatchesLimit());
    enqueue(unit, 4);
    settle();
    EXPECT_EQ(ingestion->sendCount(), 3u);
    ASSERT_TRUE(ingestion->completeOldest(200));
    EXPECT_TRUE(ingestion->waitForSends(4));
}

TEST_F(ChannelUnitTest, AnySuccessStatusReportsEachLogAndDeletesTheBatch) {
    for (long status : {200L, 204L}) {
        recorder.clear();
        auto unit = addUnit(60, 2);
        const size_t before = ingestion->sendCount();
        enqueue(unit, 2);
        ASSERT_TRUE(ingestion->waitForSends(before + 1));
        ASSERT_TRUE(ingestion->completeOldest(status));
        ASSERT_TRUE(recorder.waitForCount("didSucceed", 2)) << status;
        settle();
        EXPECT_EQ(recorder.count("didFail"), 0u) << status;
        EXPECT_EQ(storedRows(), 0) << status;
    }
}

TEST_F(ChannelUnitTest, ARecoverableFailureKeepsTheLogsAndTheUnitSending) {
    auto unit = addUnit(1, 1, 1);
    enqueue(unit, 1);
    ASSERT_TRUE(ingestion->waitForSends(1));
    ASSERT_TRUE(ingestion->completeOldest(500));
    ASSERT_TRUE(recorder.waitForCount("didFail", 1));
    const auto failure = recorder.calls("didFail")[0].error;
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->domain(), kBCErrorDomain);
    EXPECT_EQ(failure->code(), kBCHttpStatusErrorCode);
    EXPECT_EQ(storedRows(), 1);
    // The failed row goes out again with the timer, and a new log is sent too:
    // the failed batch no longer counts against the one-batch limit.
    unit->enqueueItem(validLog(), BCFlagsNormal);
    ASSERT_TRUE(ingestion->waitForSends(2, 3));
    ASSERT_TRUE(ingestion->completeOldest(200));
    ASSERT_TRUE(ingestion->waitForSends(3, 3));
    ASSERT_TRUE(ingestion->completeOldest(200));
    ASSERT_TRUE(recorder.waitForCount("didSucceed", 2));
    settle();
    EXPECT_EQ(storedRows(), 0);
}

TEST_F(ChannelUnitTest, ACallErrorIsPassedOnUnchanged) {
    auto unit = addUnit(60, 1);
    enqueue(unit, 1);
    ASSERT_TRUE(ingestion->waitForSends(1));
    const auto error = platform::Error::make("NSURLErrorDomain", -1001);
    ASSERT_TRUE(ingestion->completeOldest(0, error));
    ASSERT_TRUE(recorder.waitForCount("didFail", 1));
    EXPECT_EQ(recorder.calls("didFail")[0].error, error);
}

TEST_F(ChannelUnitTest, ANonRecoverableStatusFailsEachLogOnceAndDisablesTheUnit) {
    auto unit = addUnit(60, 2, 1);
    enqueue(unit, 2);
    ASSERT_TRUE(ingestion->waitForSends(1));
    enqueue(unit, 1);  // stored, held back by the batch limit
    ASSERT_TRUE(ingestion->completeOldest(400));
    settle();

    const auto failures = recorder.calls("didFail");
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0].error->code(), kBCHttpStatusErrorCode);
    EXPECT_EQ(failures[1].error->code(), kBCHttpStatusErrorCode);
    EXPECT_TRUE(isCanceledError(failures[2].error)) << "the log never sent is deleted unsent";
    EXPECT_EQ(storedRows(), 0);

    enqueue(unit, 1);
    settle();
    EXPECT_EQ(storedRows(), 0) << "a disabled unit discards new logs";
    EXPECT_EQ(ingestion->sendCount(), 1u);
}

TEST_F(ChannelUnitTest, AnInvalidContainerDeletesItsBatchAndTheUnitGoesOn) {
    auto unit = addUnit(60, 1);
    enqueue(unit, 1);
    ASSERT_TRUE(ingestion->waitForSends(1));
    ASSERT_TRUE(ingestion->completeOldest(0, platform::Error::make(kBCErrorDomain, 1)));
    ASSERT_TRUE(recorder.waitForCount("didFail", 1));
    settle();
    EXPECT_EQ(storedRows(), 0);
    enqueue(unit, 1);
    EXPECT_TRUE(ingestion->waitForSends(2));
}

TEST_F(ChannelUnitTest, ALateCompletionAfterDisablingWithDeletionIsIgnored) {
    auto unit = addUnit(60, 1);
    enqueue(unit, 1);
    ASSERT_TRUE(ingestion->waitForSends(1));
    unit->setEnabledAndDeleteDataOnDisabled(false, true);
    ASSERT_TRUE(recorder.waitForCount("didFail", 1));
    EXPECT_TRUE(isCanceledError(recorder.calls("didFail")[0].error));
    ASSERT_TRUE(ingestion->completeOldest(200));
    settle();
    EXPECT_EQ(recorder.count("didSucceed"), 0u);
    EXPECT_EQ(recorder.count("didFail"), 1u);
    EXPECT_EQ(recorder.count("willSend"), 2u) << "once sent, once deleted unsent";
}

TEST_F(ChannelUnitTest, ACompletionInsideSendAsyncDoesNotReenterTheFlush) {
    ingestion->setAutomaticStatus(200);
    auto unit = addUnit(60, 2);
    enqueue(unit, 6);
    ASSERT_TRUE(recorder.waitForCount("didSucceed", 6));
    settle();
    EXPECT_EQ(ingestion->sendCount(), 3u);
    EXPECT_EQ(storedRows(), 0);
}

TEST_F(ChannelUnitTest, DisablingWithDeletionFailsEveryStoredLogAndReenablingSendsNewOnes) {
    auto unit = addUnit(60, 50);
    enqueue(unit, 3);
    unit->setEnabledAndDeleteDataOnDisabled(false, true);
    settle();
    const auto calls = recorder.calls();
    std::vector<std::string> tail;
    for (const auto &call : calls)
        if (call.name == "willSend" || call.name == "didFail") tail.push_back(call.name);
    EXPECT_EQ(tail, (std::vector<std::string>{"willSend", "didFail", "willSend", "didFail", "willSend", "didFail"}));
    for (const auto &failure : recorder.calls("didFail")) EXPECT_TRUE(isCanceledError(failure.error));
    EXPECT_EQ(storedRows(), 0);

    unit->setEnabledAndDeleteDataOnDisabled(true, false);
    enqueue(unit, 50);
    EXPECT_TRUE(ingestion->waitForSends(1));
}

TEST_F(ChannelUnitTest, APauseHoldsLogsBackAndResumingSendsThemWithoutANewLog) {
    auto unit = addUnit(60, 2);
    auto owner = std::make_shared<int>(1);
    unit->pauseWithIdentifyingObject(owner);
    enqueue(unit, 2);
    settle();
    EXPECT_EQ(ingestion->sendCount(), 0u);
    EXPECT_EQ(storedRows(), 2);
    unit->resumeWithIdentifyingObject(owner);
    EXPECT_TRUE(ingestion->waitForSends(1));
}

TEST_F(ChannelUnitTest, WhileAnotherRunningCopySendsLogsWaitAndGoOutOnTheTimerOnceItStops) {
    int holding[2], stop[2];
    ASSERT_EQ(pipe(holding), 0);
    ASSERT_EQ(pipe(stop), 0);
    const std::string lockPath = home.databasePath().string() + ".lock";
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        // The other copy holds the store's sending lock until told to stop.
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        char go = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        if (write(holding[1], &go, 1) != 1 || read(stop[0], &go, 1) != 1) _exit(3);
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(holding[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');

    auto unit = addUnit(1, 2);
    enqueue(unit, 2);  // a full batch, and the timer
    EXPECT_FALSE(ingestion->waitForSends(1, 1.5)) << "nothing goes out while the other copy sends";
    EXPECT_EQ(storedRows(), 2);
    ASSERT_EQ(write(stop[1], "x", 1), 1);
    int status = 0;
    waitpid(other, &status, 0);
    for (int fd : {holding[0], holding[1], stop[0], stop[1]}) close(fd);
    // No new log: the flush timer asks for the lock again.
    ASSERT_TRUE(ingestion->waitForSends(1, 10));
    EXPECT_EQ(ingestion->sends()[0].logs.size(), 2u);
}

TEST_F(ChannelUnitTest, PausingATargetKeyHoldsBackOnlyItsLogs) {
    auto unit = addUnit(60, 1);
    auto csLog = [](const std::string &key) {
        auto log = std::make_shared<BCCommonSchemaLog>();
        log->ver = "3.0";
        log->name = "event";
        log->iKey = "o:" + key;
        log->setTimestamp(platform::Date::now());
        log->setDevice(modeltest::validDevice());
        log->addTransmissionTargetToken(key + "-123");
        return log;
    };
    unit->pauseSendingLogsWithToken("abc-123");
    unit->enqueueItem(csLog("abc"), BCFlagsNormal);
    unit->enqueueItem(csLog("xyz"), BCFlagsNormal);
    settle();
    ASSERT_TRUE(ingestion->waitForSends(1));
    settle();
    ASSERT_EQ(ingestion->sendCount(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<BCCommonSchemaLog>(ingestion->sends()[0].logs[0])->iKey, "o:xyz");
    EXPECT_EQ(home.sqlite("SELECT targetKey FROM logs ORDER BY id"), "abc\nxyz\n");
    unit->resumeSendingLogsWithToken("abc-123");
    ASSERT_TRUE(ingestion->waitForSends(2));
    EXPECT_EQ(std::dynamic_pointer_cast<BCCommonSchemaLog>(ingestion->sends()[1].logs[0])->iKey, "o:abc");
}

// Many threads enqueue while the group is switched off (with deletion) and
// on, and sends end randomly in 200 or 500: every log that passed validation
// completes its enqueueing once, no log is delivered twice, nothing comes
// after a delivery, and at the end nothing is left stored once all is sent.
TEST_F(ChannelUnitTest, ConcurrentEnqueueToggleAndCompletionsLoseAndDuplicateNothing) {
    constexpr int kThreads = 8;
    constexpr int kLogsPerThread = 100;
    capture.clear();
    BCLogger::setCurrentLogLevel(BCLogLevelError);  // keep the capture small
    auto unit = addUnit(1, 10, 3);

    std::atomic<bool> stop{false};
    std::thread completer([&] {
        std::mt19937 random(42);
        while (!stop) {
            if (!ingestion->completeOldest(random() % 3 == 0 ? 500 : 200)) std::this_thread::yield();
        }
    });
    std::thread toggler([&] {
        for (int i = 0; i < 20; ++i) {
            group->setEnabledAndDeleteDataOnDisabled(i % 2 == 1, true);
            std::this_thread::yield();
        }
        group->setEnabledAndDeleteDataOnDisabled(true, true);
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kLogsPerThread; ++i) {
                auto log = validLog();
                log->setSid(std::to_string(t) + "-" + std::to_string(i));
                unit->enqueueItem(log, BCFlagsNormal);
            }
        });
    }
    for (auto &producer : producers) producer.join();
    toggler.join();
    // Every save queued so far has run (slow under a sanitizer).
    EXPECT_TRUE(drain(group->logsDispatchQueue(), 120));
    // Everything left is sent and answered by the completer's last rounds.
    Signal signal;
    const bool emptied = signal.waitFor([&] { return ingestion->heldCount() == 0 && groupRows() == 0; }, 120);
    stop = true;
    completer.join();
    EXPECT_TRUE(drain(group->logsDispatchQueue(), 120));
    EXPECT_TRUE(emptied) << "stored " << groupRows() << ", held " << ingestion->heldCount() << ", sends "
                         << ingestion->sendCount();

    const auto completed = recorder.calls("didCompleteEnqueueing");
    EXPECT_EQ(completed.size(), size_t(kThreads * kLogsPerThread));
    std::set<std::string> ids;
    for (const auto &call : completed) ids.insert(call.internalId);
    EXPECT_EQ(ids.size(), completed.size());

    std::map<std::string, std::vector<std::string>> history;
    for (const auto &call : recorder.calls()) {
        if (call.name == "didSucceed" || call.name == "didFail" || call.name == "willSend") {
            history[call.log->sid().value_or("?")].push_back(call.name);
        }
    }
    for (const auto &[sid, events] : history) {
        EXPECT_LE(std::count(events.begin(), events.end(), "didSucceed"), 1) << sid;
        if (std::find(events.begin(), events.end(), "didSucceed") != events.end()) {
            EXPECT_EQ(events.back(), "didSucceed") << sid;
        }
    }
}
