#pragma once
// A channel unit: prepares each log on the caller's thread, stores it, and
// sends the stored logs of its group id in batches, when a batch is full or
// when the oldest waiting log has waited the flush interval. A batch is
// deleted only once the ingestion service took it (2xx).
//
// Threads: every state change (enabled, pauses, counters, timer, batches
// in flight) and every call into the store or the ingestion runs on the
// group's serial queue. Public entry points hop there with async; nothing
// here ever waits synchronously on that queue.
//
// Saves: each enqueued log queues one save on the queue. Saves that wait
// there one behind the other are stored together, in one transaction of the
// store, and their delegates and completions are told in enqueue order. At
// most kBCMaxWaitingSaves saves of a unit wait at a time; a log beyond that
// is refused at once on the calling thread (its didCompleteEnqueueing and
// completion Refused), with a warning at most once a second.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BCChannelDelegateList.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitProtocol.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Error.h"

class BCIngestionProtocol;
class BCStorage;

// Error code of a log deleted unsent, in the SDK's error domain.
inline constexpr int64_t kBCConnectionPausedErrorCode = 100;
inline constexpr const char *kBCConnectionPausedErrorDesc = "Canceled, connection paused with log deletion.";
// Error code of a send the service answered with a status that is not a
// success, when the call itself gave no error.
inline constexpr int64_t kBCHttpStatusErrorCode = 102;

// Saves of one unit that may wait on the queue at a time. Normal use queues a
// few, a burst at start-up some hundreds; thousands only when logs come
// faster than the disk stores them, and each one holds its log in memory.
inline constexpr size_t kBCMaxWaitingSaves = 4096;
// The most logs stored in one transaction.
inline constexpr size_t kBCMaxSavesPerTransaction = 256;

class BCChannelUnitDefault : public BCChannelUnitProtocol, public std::enable_shared_from_this<BCChannelUnitDefault> {
public:
    // A unit starts in the state of its group (enabled, or disabled and
    // discarding new logs when the group was disabled with deletion).
    BCChannelUnitDefault(std::shared_ptr<BCIngestionProtocol> ingestion, std::shared_ptr<BCStorage> storage,
                         const BCChannelUnitConfiguration &configuration,
                         std::shared_ptr<platform::dispatch::Queue> logsDispatchQueue, bool enabled = true,
                         bool discardLogs = false);
    ~BCChannelUnitDefault() override;

    void addDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) override;
    void removeDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) override;
    void setEnabledAndDeleteDataOnDisabled(bool enabled, bool deleteData) override;

    std::shared_ptr<const BCChannelUnitConfiguration> configuration() const override { return configuration_; }
    void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags) override;
    void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags,
                     BCEnqueueCompletion completion) override;
    void pauseWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) override;
    void resumeWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) override;
    void pauseSendingLogsWithToken(const std::string &token) override;
    void resumeSendingLogsWithToken(const std::string &token) override;

    // On the queue: counts the stored logs afresh, then sends or arms the
    // timer as the waiting logs require. The group schedules it for a new
    // unit, so logs stored by an earlier launch are found.
    void checkPendingLogsAfterRecount();
    // On the queue: the state change of setEnabledAndDeleteDataOnDisabled.
    void applyEnabledStateOnQueue(bool enabled, bool deleteData);

    const std::shared_ptr<platform::dispatch::Queue> &logsDispatchQueue() const { return logsDispatchQueue_; }
    const std::shared_ptr<BCIngestionProtocol> &ingestion() const { return ingestion_; }
    // "ChannelStartTimer:<group id>": when the oldest pending log began to wait.
    std::string startTimerKey() const;

    // Queue-only state, for tests (read them on the queue).
    bool enabledOnQueue() const { return enabled_; }
    size_t pendingBatchCountOnQueue() const { return pendingBatchIds_.size(); }

private:
    using Logs = std::vector<std::shared_ptr<BCAbstractLog>>;

    std::shared_ptr<BCChannelUnitProtocol> self();
    // A log whose save ran on the queue and waits for the others of its
    // transaction; a verdict once it is known not to be stored.
    struct WaitingSave {
        std::shared_ptr<BCAbstractLog> log;
        std::string internalId;
        uint32_t flags = 0;
        BCEnqueueCompletion completion;
        std::optional<BCEnqueueResult> verdict;
    };

    bool isPausedOnQueue();
    // The save queued for the log: stores it with the saves waiting behind
    // it, when it is the last of them.
    void saveOnQueue(WaitingSave save);
    // Tells the delegates and the completion that the log was refused.
    void refuse(const std::shared_ptr<BCAbstractLog> &item, const std::string &internalId,
                const BCEnqueueCompletion &completion);
    // Decides for each save gathered so far whether it is stored (a
    // disabled unit discards, a delegate may filter), stores those in one
    // transaction and tells each one's delegates and completion. Every other step of the unit on the
    // queue calls it first, so that it sees the saves queued before it.
    void storeWaitingSavesOnQueue();
    // Calls the completion, if any, with the result on the queue.
    void completeOnQueue(const BCEnqueueCompletion &completion, BCEnqueueResult result);
    void checkPendingLogs();
    // Takes the store's sending lock first; while another running copy of
    // the application holds it, the logs wait and the unit asks again one
    // flush interval later.
    void flushQueue();
    void flushQueueHoldingSendingLock();
    // Gives the sending lock back once no batch of the unit is in flight.
    void releaseSendingLockIfIdle();
    void startTimer();
    void armTimer(double delaySeconds);
    void resetTimer();
    void handleCompletion(const std::string &callId, const Logs &logs, long statusCode,
                          const platform::ErrorPtr &error);
    void deleteAllLogsOnQueue();
    // Lets the rows of a batch that failed recoverably be loaded again.
    void releaseBatch(const std::string &batchId);
    static platform::ErrorPtr statusError(long statusCode);

    const std::shared_ptr<BCIngestionProtocol> ingestion_;
    const std::shared_ptr<BCStorage> storage_;
    const std::shared_ptr<const BCChannelUnitConfiguration> configuration_;
    const std::shared_ptr<platform::dispatch::Queue> logsDispatchQueue_;
    BCChannelDelegateList delegates_;

    // Queue-only state.
    bool enabled_;
    bool discardLogs_;
    std::vector<std::weak_ptr<const void>> pausedIdentifyingObjects_;
    std::set<std::string> pausedTargetKeys_;
    size_t itemsCount_ = 0;
    std::vector<std::string> pendingBatchIds_;
    bool pendingBatchQueueFull_ = false;
    bool holdsSendingLock_ = false;
    std::shared_ptr<platform::dispatch::TimerSource> timerSource_;
    std::vector<WaitingSave> waitingSaves_;

    // Saves queued and not yet run (any thread).
    std::atomic<size_t> queuedSaves_{0};
    // The refusal warning's state (any thread).
    std::mutex refusalMutex_;
    size_t refusedSinceWarning_ = 0;
    std::optional<std::chrono::steady_clock::time_point> lastRefusalWarning_;
};
