#include "BCEventCollectorChannelDelegate.h"

#include "BCCSEpochAndSeq.h"
#include "BCChannelGroupProtocol.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitProtocol.h"
#include "BCCommonSchemaLog.h"
#include "BCDefaultLogUrls.h"
#include "BCEventCollectorIngestion.h"
#include "BCLogger.h"
#include "BCSDKExtension.h"

std::shared_ptr<BCEventCollectorChannelDelegate> BCEventCollectorChannelDelegate::make(
    std::shared_ptr<BCHttpClientProtocol> httpClient, const platform::UUID &installId,
    const std::optional<std::string> &baseUrl) {
    auto ingestion =
        BCEventCollectorIngestion::make(std::move(httpClient), baseUrl.value_or(kBCDefaultEventCollectorUrl));
    std::shared_ptr<BCEventCollectorChannelDelegate> delegate(
        new BCEventCollectorChannelDelegate(std::move(ingestion), installId));
    delegate->installCallbacks();
    return delegate;
}

BCEventCollectorChannelDelegate::BCEventCollectorChannelDelegate(std::shared_ptr<BCEventCollectorIngestion> ingestion,
                                                                 const platform::UUID &installId)
    : ingestion_(std::move(ingestion)), installId_(installId) {}

void BCEventCollectorChannelDelegate::installCallbacks() {
    const std::weak_ptr<BCEventCollectorChannelDelegate> weakSelf = weak_from_this();
    channelGroupDidAddChannelUnit = [weakSelf](const std::shared_ptr<BCChannelGroupProtocol> &group, const Unit &unit) {
        if (auto self = weakSelf.lock()) self->addMirror(group, unit);
    };
    channelPrepareLog = [weakSelf](const Unit &, const Log &log) {
        if (auto self = weakSelf.lock()) self->stampEpochAndSeq(log);
    };
    channelDidPrepareLog = [weakSelf](const Unit &unit, const Log &log, const std::string &, uint32_t flags) {
        if (auto self = weakSelf.lock()) self->convertToCommonSchema(unit, log, flags);
    };
    // A common-schema log must not go out in the batch format of an ordinary unit.
    channelShouldFilterLog = [](const Unit &unit, const Log &log) {
        return !isEventCollectorUnit(unit) && std::dynamic_pointer_cast<BCCommonSchemaLog>(log) != nullptr;
    };
    channelDidSetEnabled = [weakSelf](const std::shared_ptr<BCChannelProtocol> &channel, bool enabled,
                                      bool deleteData) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (std::dynamic_pointer_cast<BCChannelGroupProtocol>(channel)) {
            self->ingestion_->setEnabled(enabled, deleteData);
        } else if (auto unit = std::dynamic_pointer_cast<BCChannelUnitProtocol>(channel)) {
            // A disabled service's common-schema logs stop too.
            if (auto mirror = self->mirrorUnitFor(unit)) mirror->setEnabledAndDeleteDataOnDisabled(enabled, deleteData);
        }
    };
}

bool BCEventCollectorChannelDelegate::isEventCollectorUnit(const Unit &unit) {
    if (!unit) return false;
    const std::string &groupId = unit->configuration()->groupId();
    const std::string suffix = kGroupIdSuffix;
    return groupId.size() >= suffix.size() &&
           groupId.compare(groupId.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void BCEventCollectorChannelDelegate::addMirror(const std::shared_ptr<BCChannelGroupProtocol> &group,
                                                const Unit &unit) {
    if (!group || !unit || isEventCollectorUnit(unit)) return;
    const auto source = unit->configuration();
    const BCChannelUnitConfiguration configuration(source->groupId() + kGroupIdSuffix, source->priority(),
                                                   source->flushInterval(), source->batchSizeLimit(),
                                                   source->pendingBatchesLimit());
    auto mirror = group->addChannelUnitWithConfiguration(configuration, ingestion_);
    std::lock_guard<std::mutex> lock(mutex_);
    mirrorUnits_[unit.get()] = std::move(mirror);
}

std::shared_ptr<BCChannelUnitProtocol> BCEventCollectorChannelDelegate::mirrorUnitFor(const Unit &unit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = mirrorUnits_.find(unit.get());
    return found == mirrorUnits_.end() ? nullptr : found->second;
}

std::vector<BCChannelDelegate::Unit> BCEventCollectorChannelDelegate::mirrors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Unit> result;
    for (const auto &[source, mirror] : mirrorUnits_) result.push_back(mirror);
    return result;
}

void BCEventCollectorChannelDelegate::stampEpochAndSeq(const Log &log) {
    const auto csLog = std::dynamic_pointer_cast<BCCommonSchemaLog>(log);
    if (!csLog || !csLog->iKey) return;
    std::string epoch;
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto &record = epochsAndSeqsByIKey_[*csLog->iKey];
        if (!record) record = std::make_shared<BCCSEpochAndSeq>(platform::UUID::random().UUIDString());
        record->seq += 1;
        epoch = record->epoch;
        seq = record->seq;
    }
    if (!csLog->ext) csLog->ext = std::make_shared<BCCSExtensions>();
    if (!csLog->ext->sdkExt) csLog->ext->sdkExt = std::make_shared<BCSDKExtension>();
    csLog->ext->sdkExt->epoch = epoch;
    csLog->ext->sdkExt->seq = static_cast<int64_t>(seq);
    csLog->ext->sdkExt->installId = installId_;
}

void BCEventCollectorChannelDelegate::convertToCommonSchema(const Unit &unit, const Log &log, uint32_t flags) {
    if (!log || std::dynamic_pointer_cast<BCCommonSchemaLog>(log) || isEventCollectorUnit(unit)) return;
    const auto tokens = log->transmissionTargetTokens();
    if (!tokens || tokens->empty()) return;
    const auto mirror = mirrorUnitFor(unit);
    if (!mirror) return;
    const auto csLogs = log->toCommonSchemaLogsWithFlags(flags);
    if (!csLogs) return;
    for (const auto &csLog : *csLogs) mirror->enqueueItem(csLog, flags);
}

void BCEventCollectorChannelDelegate::setLogUrl(const std::string &logUrl) { ingestion_->setBaseURL(logUrl); }

void BCEventCollectorChannelDelegate::pauseSendingLogsWithToken(const std::string &token) {
    for (const auto &mirror : mirrors()) mirror->pauseSendingLogsWithToken(token);
}

void BCEventCollectorChannelDelegate::resumeSendingLogsWithToken(const std::string &token) {
    for (const auto &mirror : mirrors()) mirror->resumeSendingLogsWithToken(token);
}
