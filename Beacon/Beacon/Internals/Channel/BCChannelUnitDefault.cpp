#include "BCChannelUnitDefault.h"

#include <algorithm>

#include "BCAbstractLog.h"
#include "BCBeaconIngestion.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelDelegate.h"
#include "BCDeviceTracker.h"
#include "BCHttpClient.h"
#include "BCHttpUtil.h"
#include "BCIngestionProtocol.h"
#include "BCLogContainer.h"
#include "BCLogger.h"
#include "BCStorage.h"
#include "BCUtility.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"

namespace {

constexpr const char *kLogTag = "Beacon";

using platform::dispatch::async;

// The store hands out the logs it archived; every one of them is a log of
// the model.
std::vector<std::shared_ptr<BCAbstractLog>> modelLogs(const std::vector<std::shared_ptr<BCLog>> &logs) {
    std::vector<std::shared_ptr<BCAbstractLog>> result;
    result.reserve(logs.size());
    for (const auto &log : logs) {
        if (auto modelLog = std::dynamic_pointer_cast<BCAbstractLog>(log)) result.push_back(std::move(modelLog));
    }
    return result;
}

}  // namespace

BCChannelUnitDefault::BCChannelUnitDefault(std::shared_ptr<BCIngestionProtocol> ingestion,
                                           std::shared_ptr<BCStorage> storage,
                                           const BCChannelUnitConfiguration &configuration,
                                           std::shared_ptr<platform::dispatch::Queue> logsDispatchQueue, bool enabled,
                                           bool discardLogs)
    : ingestion_(std::move(ingestion)), storage_(std::move(storage)),
      configuration_(std::make_shared<const BCChannelUnitConfiguration>(configuration)),
      logsDispatchQueue_(std::move(logsDispatchQueue)), enabled_(enabled), discardLogs_(discardLogs) {}

BCChannelUnitDefault::~BCChannelUnitDefault() {
    if (timerSource_) timerSource_->cancel();
    // The store is used on the queue only.
    if (holdsSendingLock_) async(logsDispatchQueue_, [storage = storage_] { storage->releaseSendingLock(); });
}

std::shared_ptr<BCChannelUnitProtocol> BCChannelUnitDefault::self() { return shared_from_this(); }

void BCChannelUnitDefault::addDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) { delegates_.add(delegate); }

void BCChannelUnitDefault::removeDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) {
    delegates_.remove(delegate);
}

std::string BCChannelUnitDefault::startTimerKey() const {
    return platform::format("%@:%@", "ChannelStartTimer", configuration_->groupId());
}

// Enqueueing.

void BCChannelUnitDefault::enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags) {
    enqueueItem(item, flags, nullptr);
}

void BCChannelUnitDefault::enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags,
                                       BCEnqueueCompletion completion) {
    if (!item) {
        BCLogWarning(kLogTag, "Cannot enqueue a null log.");
        completeOnQueue(completion, BCEnqueueResult::Unstorable);
        return;
    }
    if (!item->timestamp()) item->setTimestamp(platform::Date::now());
    if (!item->device()) item->setDevice(BCDeviceTracker::sharedInstance()->device());
    if (!item->isValid()) {
        BCLogWarning(kLogTag, "Log of type '%@' is not valid; it is dropped.", item->type());
        completeOnQueue(completion, BCEnqueueResult::Unstorable);
        return;
    }
    const std::string internalId = platform::UUID::random().UUIDString();
    const auto unit = self();
    delegates_.notify(&BCChannelDelegate::channelPrepareLog, unit, item);
    delegates_.notify(&BCChannelDelegate::channelDidPrepareLog, unit, item, internalId, flags);

    // Beyond the bound the log is refused at once, on this thread: queued
    // behind the waiting saves, refusals would hold their logs in memory as
    // long as the saves do.
    if (queuedSaves_.fetch_add(1) >= kBCMaxWaitingSaves) {
        queuedSaves_.fetch_sub(1);
        refuse(item, internalId, completion);
        return;
    }
    // The unit stays alive until its delegates were told the enqueueing completed.
    async(logsDispatchQueue_,
          [strongSelf = shared_from_this(),
           save = WaitingSave{item, internalId, flags, std::move(completion), std::nullopt}]() mutable {
              strongSelf->saveOnQueue(std::move(save));
          });
}

void BCChannelUnitDefault::refuse(const std::shared_ptr<BCAbstractLog> &item, const std::string &internalId,
                                  const BCEnqueueCompletion &completion) {
    size_t refused = 0;
    {
        std::lock_guard<std::mutex> lock(refusalMutex_);
        ++refusedSinceWarning_;
        const auto now = std::chrono::steady_clock::now();
        if (!lastRefusalWarning_ || now - *lastRefusalWarning_ >= std::chrono::seconds(1)) {
            refused = refusedSinceWarning_;
            refusedSinceWarning_ = 0;
            lastRefusalWarning_ = now;
        }
    }
    if (refused > 0) {
        BCLogWarning(kLogTag,
                     "Channel %@ refuses new logs: %tu logs are waiting to be stored (%tu refused since the last "
                     "warning).",
                     configuration_->groupId(), kBCMaxWaitingSaves, refused);
    }
    delegates_.notify(&BCChannelDelegate::channelDidCompleteEnqueueingLog, self(), item, internalId);
    if (completion) completion(BCEnqueueResult::Refused);
}

void BCChannelUnitDefault::completeOnQueue(const BCEnqueueCompletion &completion, BCEnqueueResult result) {
    if (!completion) return;
    async(logsDispatchQueue_, [completion, result] { completion(result); });
}

void BCChannelUnitDefault::saveOnQueue(WaitingSave save) {
    // The last of the saves queued one behind the other stores them all.
    const bool last = queuedSaves_.fetch_sub(1) == 1;
    waitingSaves_.push_back(std::move(save));
    if (last || waitingSaves_.size() >= kBCMaxSavesPerTransaction) storeWaitingSavesOnQueue();
}

void BCChannelUnitDefault::storeWaitingSavesOnQueue() {
    if (waitingSaves_.empty()) return;
    std::vector<WaitingSave> saves;
    saves.swap(waitingSaves_);
    const auto unit = self();
    // One look at the delegates for the batch: the list's lock is shared
    // with the threads that enqueue.
    const auto delegates = delegates_.snapshot();
    std::vector<BCStorageSaveRequest> requests;
    for (auto &save : saves) {
        if (discardLogs_) {
            BCLogWarning(kLogTag, "Channel %@ disabled in log discarding mode, discard this log.",
                         configuration_->groupId());
            save.verdict = BCEnqueueResult::Discarded;
            continue;
        }
        bool filtered = false;
        for (const auto &delegate : delegates) {
            if (delegate->channelShouldFilterLog && delegate->channelShouldFilterLog(unit, save.log)) filtered = true;
        }
        if (filtered) {
            BCLogDebug(kLogTag, "Log of type '%@' was filtered out by a delegate.", save.log->type());
            save.verdict = BCEnqueueResult::Discarded;
        } else {
            requests.push_back({save.log, configuration_->groupId(), save.flags});
        }
    }
    std::vector<BCStorageSaveResult> stored;
    if (!requests.empty()) stored = storage_->saveLogsWithResults(requests);
    size_t next = 0;
    for (auto &save : saves) {
        BCEnqueueResult result = save.verdict.value_or(BCEnqueueResult::Failed);
        if (!save.verdict && next < stored.size()) {
            switch (stored[next]) {
            case BCStorageSaveResult::Saved: result = BCEnqueueResult::Saved; break;
            case BCStorageSaveResult::Failed: result = BCEnqueueResult::Failed; break;
            case BCStorageSaveResult::Unstorable: result = BCEnqueueResult::Unstorable; break;
            }
        }
        if (!save.verdict) ++next;
        for (const auto &delegate : delegates) {
            if (delegate->channelDidCompleteEnqueueingLog)
                delegate->channelDidCompleteEnqueueingLog(unit, save.log, save.internalId);
        }
        if (result == BCEnqueueResult::Saved) itemsCount_ += 1;
        if (save.completion) save.completion(result);
    }
    checkPendingLogs();
}

// Sending.

bool BCChannelUnitDefault::isPausedOnQueue() {
    std::erase_if(pausedIdentifyingObjects_, [](const auto &weak) { return weak.expired(); });
    return !pausedIdentifyingObjects_.empty();
}

void BCChannelUnitDefault::checkPendingLogsAfterRecount() {
    storeWaitingSavesOnQueue();
    itemsCount_ = storage_->countLogs();
    checkPendingLogs();
}

void BCChannelUnitDefault::checkPendingLogs() {
    if (!enabled_ || isPausedOnQueue() || itemsCount_ == 0) return;
    if (itemsCount_ >= configuration_->batchSizeLimit()) {
        flushQueue();
    } else {
        startTimer();
    }
}

void BCChannelUnitDefault::startTimer() {
    if (timerSource_) return;
    const auto defaults = BCBeaconUserDefaults::shared();
    const platform::Date now = platform::Date::now();
    const platform::Value stored = defaults->objectForKey(startTimerKey());
    platform::Date start = now;
    if (stored.date() && *stored.date() <= now) {
        start = *stored.date();
    } else {
        defaults->setObject(now, startTimerKey());
    }
    armTimer(std::max(0.0, start.timeIntervalSinceDate(now) + double(configuration_->flushInterval())));
}

void BCChannelUnitDefault::armTimer(double delaySeconds) {
    timerSource_ = platform::dispatch::TimerSource::create(logsDispatchQueue_);
    timerSource_->setTimer(delaySeconds, 0);
    timerSource_->setEventHandler([weakSelf = weak_from_this()] {
        if (auto unit = weakSelf.lock()) {
            unit->storeWaitingSavesOnQueue();
            unit->timerSource_.reset();
            unit->flushQueue();
        }
    });
    timerSource_->resume();
}

void BCChannelUnitDefault::resetTimer() {
    if (timerSource_) {
        timerSource_->cancel();
        timerSource_.reset();
    }
    // Removing writes the defaults file; most flushes find no key.
    const auto defaults = BCBeaconUserDefaults::shared();
    if (!defaults->objectForKey(startTimerKey()).isNull()) defaults->removeObjectForKey(startTimerKey());
}

void BCChannelUnitDefault::flushQueue() {
    if (!holdsSendingLock_ && enabled_ && !isPausedOnQueue()) {
        if (!storage_->acquireSendingLock()) {
            // The start time of the waiting logs stays stored; at least a
            // second apart, so that a zero interval never spins.
            if (!timerSource_) armTimer(std::max(1.0, double(configuration_->flushInterval())));
            return;
        }
        holdsSendingLock_ = true;
    }
    flushQueueHoldingSendingLock();
    releaseSendingLockIfIdle();
}

void BCChannelUnitDefault::releaseSendingLockIfIdle() {
    if (!holdsSendingLock_ || !pendingBatchIds_.empty()) return;
    holdsSendingLock_ = false;
    storage_->releaseSendingLock();
}

void BCChannelUnitDefault::flushQueueHoldingSendingLock() {
    resetTimer();
    if (!enabled_ || isPausedOnQueue()) return;
    if (pendingBatchIds_.size() >= configuration_->pendingBatchesLimit()) {
        pendingBatchQueueFull_ = true;
        return;
    }
    if (!ingestion_->isReadyToSend()) return;

    std::vector<std::shared_ptr<BCLog>> loaded;
    std::optional<std::string> batchId;
    std::optional<std::vector<std::string>> excluded;
    if (!pausedTargetKeys_.empty()) excluded.emplace(pausedTargetKeys_.begin(), pausedTargetKeys_.end());
    const bool more = storage_->loadLogsWithGroupId(
        configuration_->groupId(), configuration_->batchSizeLimit(), excluded,
        [&](const std::vector<std::shared_ptr<BCLog>> &logArray, const std::optional<std::string> &loadedBatchId) {
            loaded = logArray;
            batchId = loadedBatchId;
        });
    const Logs logs = modelLogs(loaded);
    if (!batchId || loaded.empty()) {
        itemsCount_ = 0;
        return;
    }
    itemsCount_ = more ? std::max<size_t>(itemsCount_ > logs.size() ? itemsCount_ - logs.size() : 0, 1) : 0;
    pendingBatchIds_.push_back(*batchId);

    const auto unit = self();
    for (const auto &log : logs) {
        delegates_.notify(&BCChannelDelegate::channelWillSendLog, unit, log);
        BCLogVerbose(kLogTag, "Sending log %@", log->serializeLogWithPrettyPrinting(true));
    }
    const auto container = std::make_shared<BCLogContainer>(batchId, loaded);
    ingestion_->sendAsync(container, [weakSelf = weak_from_this(), queue = logsDispatchQueue_, logs](
                                         const std::optional<std::string> &callId,
                                         std::shared_ptr<const platform::net::HTTPURLResponse> response,
                                         std::optional<platform::Data>, platform::ErrorPtr error) {
        const long statusCode = response ? response->statusCode() : 0;
        // Always re-queued, also when the ingestion answers inside sendAsync.
        async(queue, [weakSelf, id = callId.value_or(std::string()), logs, statusCode, error] {
            if (auto unit = weakSelf.lock()) unit->handleCompletion(id, logs, statusCode, error);
        });
    });
    if (more) checkPendingLogs();
}

platform::ErrorPtr BCChannelUnitDefault::statusError(long statusCode) {
    const std::string description =
        platform::format("The ingestion service answered with HTTP status %ld.", statusCode);
    return platform::Error::make(
        kBCErrorDomain, kBCHttpStatusErrorCode,
        {{platform::kLocalizedDescriptionKey, description}, {"statusCode", static_cast<int64_t>(statusCode)}});
}

void BCChannelUnitDefault::releaseBatch(const std::string &batchId) {
    storage_->releaseLogsWithBatchId(batchId, configuration_->groupId());
}

void BCChannelUnitDefault::handleCompletion(const std::string &callId, const Logs &logs, long statusCode,
                                            const platform::ErrorPtr &error) {
    storeWaitingSavesOnQueue();
    const auto pending = std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), callId);
    if (pending == pendingBatchIds_.end()) {
        BCLogDebug(kLogTag, "Batch %@ of channel %@ is no longer pending; its result is ignored.", callId,
                   configuration_->groupId());
        return;
    }
    pendingBatchIds_.erase(pending);
    const auto unit = self();
    const std::string &groupId = configuration_->groupId();
    bool retryLater = false;
    if (BCHttpUtil::isSuccessStatusCode(statusCode)) {
        for (const auto &log : logs) delegates_.notify(&BCChannelDelegate::channelDidSucceedSendingLog, unit, log);
        storage_->deleteLogsWithBatchId(callId, groupId);
    } else {
        const platform::ErrorPtr reported = error ? error : statusError(statusCode);
        for (const auto &log : logs) {
            delegates_.notify(&BCChannelDelegate::channelDidFailSendingLog, unit, log, reported);
        }
        // No response, but sending the same batch again can never succeed.
        const bool invalidContainer = error && error->domain() == kBCErrorDomain &&
                                      error->code() == BCBeaconIngestion::kInvalidContainerErrorCode;
        if (invalidContainer) {
            BCLogError(kLogTag, "Batch %@ of channel %@ is not valid; its logs are deleted.", callId, groupId);
            storage_->deleteLogsWithBatchId(callId, groupId);
        } else if (!BCHttpUtil::isRecoverableError(statusCode)) {
            BCLogError(kLogTag, "Sending logs of channel %@ failed with status %ld; the channel is disabled.", groupId,
                       statusCode);
            storage_->deleteLogsWithBatchId(callId, groupId);
            applyEnabledStateOnQueue(false, true);
        } else {
            // The rows stay stored and go out again with the next flush of
            // the timer, not at once: the client's own retries are used up.
            releaseBatch(callId);
            itemsCount_ += logs.size();
            retryLater = true;
        }
    }
    pendingBatchQueueFull_ = false;
    if (!retryLater) {
        checkPendingLogs();
    } else if (enabled_ && !isPausedOnQueue()) {
        startTimer();
    }
    releaseSendingLockIfIdle();
}

// Enabled state and pauses.

void BCChannelUnitDefault::setEnabledAndDeleteDataOnDisabled(bool enabled, bool deleteData) {
    async(logsDispatchQueue_,
          [unit = shared_from_this(), enabled, deleteData] { unit->applyEnabledStateOnQueue(enabled, deleteData); });
}

void BCChannelUnitDefault::applyEnabledStateOnQueue(bool enabled, bool deleteData) {
    storeWaitingSavesOnQueue();
    if (!enabled) {
        enabled_ = false;
        resetTimer();
        discardLogs_ = deleteData;
        if (deleteData) deleteAllLogsOnQueue();
    } else {
        enabled_ = true;
        discardLogs_ = false;
        checkPendingLogsAfterRecount();
    }
    delegates_.notify(&BCChannelDelegate::channelDidSetEnabled,
                      std::static_pointer_cast<BCChannelProtocol>(shared_from_this()), enabled, deleteData);
}

void BCChannelUnitDefault::deleteAllLogsOnQueue() {
    const Logs deleted = modelLogs(storage_->deleteLogsWithGroupId(configuration_->groupId()));
    pendingBatchIds_.clear();
    pendingBatchQueueFull_ = false;
    itemsCount_ = 0;
    releaseSendingLockIfIdle();
    const auto unit = self();
    const auto error = platform::Error::make(kBCErrorDomain, kBCConnectionPausedErrorCode,
                                             {{platform::kLocalizedDescriptionKey, kBCConnectionPausedErrorDesc}});
    for (const auto &log : deleted) {
        delegates_.notify(&BCChannelDelegate::channelWillSendLog, unit, log);
        delegates_.notify(&BCChannelDelegate::channelDidFailSendingLog, unit, log, error);
    }
}

void BCChannelUnitDefault::pauseWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) {
    if (!identifyingObject) return;
    async(logsDispatchQueue_, [unit = shared_from_this(), weak = std::weak_ptr<const void>(identifyingObject)] {
        unit->storeWaitingSavesOnQueue();
        unit->pausedIdentifyingObjects_.push_back(weak);
    });
}

void BCChannelUnitDefault::resumeWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) {
    if (!identifyingObject) return;
    async(logsDispatchQueue_, [unit = shared_from_this(), identifyingObject] {
        unit->storeWaitingSavesOnQueue();
        std::erase_if(unit->pausedIdentifyingObjects_, [&](const auto &weak) {
            return !weak.owner_before(identifyingObject) && !identifyingObject.owner_before(weak);
        });
        if (!unit->isPausedOnQueue()) unit->checkPendingLogsAfterRecount();
    });
}

void BCChannelUnitDefault::pauseSendingLogsWithToken(const std::string &token) {
    const auto targetKey = BCUtility::targetKeyFromTargetToken(token);
    if (!targetKey) return;
    async(logsDispatchQueue_, [unit = shared_from_this(), key = *targetKey] {
        unit->storeWaitingSavesOnQueue();
        unit->pausedTargetKeys_.insert(key);
    });
}

void BCChannelUnitDefault::resumeSendingLogsWithToken(const std::string &token) {
    const auto targetKey = BCUtility::targetKeyFromTargetToken(token);
    if (!targetKey) return;
    async(logsDispatchQueue_, [unit = shared_from_this(), key = *targetKey] {
        unit->pausedTargetKeys_.erase(key);
        unit->checkPendingLogsAfterRecount();
    });
}
