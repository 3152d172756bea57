#include "BCChannelGroupDefault.h"

#include "BCBeaconIngestion.h"
#include "BCChannelDelegate.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitDefault.h"
#include "BCLogDBStorage.h"
#include "BCLogger.h"
#include "platform/dispatch/Dispatch.h"

using platform::dispatch::async;

std::shared_ptr<BCChannelGroupDefault> BCChannelGroupDefault::make(
    const std::shared_ptr<BCHttpClientProtocol> &httpClient, const platform::UUID &installId,
    const std::string &logUrl) {
    return make(BCBeaconIngestion::make(httpClient, logUrl, installId.UUIDString()), BCLogDBStorage::make());
}

std::shared_ptr<BCChannelGroupDefault> BCChannelGroupDefault::make(std::shared_ptr<BCIngestionProtocol> ingestion,
                                                                   std::shared_ptr<BCStorage> storage) {
    std::shared_ptr<BCChannelGroupDefault> group(new BCChannelGroupDefault(std::move(ingestion), std::move(storage)));
    group->forwardUnitCallbacks();
    return group;
}

BCChannelGroupDefault::BCChannelGroupDefault(std::shared_ptr<BCIngestionProtocol> ingestion,
                                             std::shared_ptr<BCStorage> storage)
    : ingestion_(std::move(ingestion)), storage_(std::move(storage)),
      logsDispatchQueue_(platform::dispatch::Queue::createSerial(kLogsDispatchQueueLabel)),
      forwarder_(std::make_shared<BCChannelDelegate>()) {}

BCChannelGroupDefault::~BCChannelGroupDefault() = default;

void BCChannelGroupDefault::forwardUnitCallbacks() {
    // The forwarder holds the group weakly: units may outlive it in queued work.
    const std::weak_ptr<BCChannelGroupDefault> weakGroup = weak_from_this();
    auto forward = [weakGroup](auto member) {
        return [weakGroup, member](const auto &...args) {
            if (auto group = weakGroup.lock()) group->delegates_.notify(member, args...);
        };
    };
    BCChannelDelegate &f = *forwarder_;
    f.channelDidSetEnabled = forward(&BCChannelDelegate::channelDidSetEnabled);
    f.channelPrepareLog = forward(&BCChannelDelegate::channelPrepareLog);
    f.channelDidPrepareLog = forward(&BCChannelDelegate::channelDidPrepareLog);
    f.channelDidCompleteEnqueueingLog = forward(&BCChannelDelegate::channelDidCompleteEnqueueingLog);
    f.channelWillSendLog = forward(&BCChannelDelegate::channelWillSendLog);
    f.channelDidSucceedSendingLog = forward(&BCChannelDelegate::channelDidSucceedSendingLog);
    f.channelDidFailSendingLog = forward(&BCChannelDelegate::channelDidFailSendingLog);
    f.channelShouldFilterLog = [weakGroup](const BCChannelDelegate::Unit &unit, const BCChannelDelegate::Log &log) {
        auto group = weakGroup.lock();
        if (!group) return false;
        bool filtered = false;
        for (const auto &delegate : group->delegates_.snapshot()) {
            if (delegate->channelShouldFilterLog && delegate->channelShouldFilterLog(unit, log)) filtered = true;
        }
        return filtered;
    };
}

void BCChannelGroupDefault::addDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) {
    delegates_.add(delegate);
}

void BCChannelGroupDefault::removeDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) {
    delegates_.remove(delegate);
}

std::shared_ptr<BCChannelUnitProtocol> BCChannelGroupDefault::addChannelUnitWithConfiguration(
    const BCChannelUnitConfiguration &configuration) {
    return addChannelUnitWithConfiguration(configuration, ingestion_);
}

std::shared_ptr<BCChannelUnitProtocol> BCChannelGroupDefault::addChannelUnitWithConfiguration(
    const BCChannelUnitConfiguration &configuration, const std::shared_ptr<BCIngestionProtocol> &ingestion) {
    std::shared_ptr<BCChannelUnitDefault> unit;
    {
        // Made and appended under the lock, so a change of the group's state
        // either finds the unit or is the state the unit starts in.
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        unit = std::make_shared<BCChannelUnitDefault>(ingestion ? ingestion : ingestion_, storage_, configuration,
                                                      logsDispatchQueue_, enabled_, discarding_);
        unit->addDelegate(forwarder_);
        channelUnits_.push_back(unit);
    }
    async(logsDispatchQueue_, [unit] { unit->checkPendingLogsAfterRecount(); });
    BCLogDebug("Beacon", "Added channel unit for group %@.", configuration.groupId());
    delegates_.notify(&BCChannelDelegate::channelGroupDidAddChannelUnit,
                      std::static_pointer_cast<BCChannelGroupProtocol>(shared_from_this()),
                      std::static_pointer_cast<BCChannelUnitProtocol>(unit));
    return unit;
}

void BCChannelGroupDefault::setAppSecret(const std::optional<std::string> &appSecret) {
    if (auto beaconIngestion = std::dynamic_pointer_cast<BCBeaconIngestion>(ingestion_)) {
        beaconIngestion->setAppSecret(appSecret);
    }
    // A secret arriving late would otherwise leave stored logs waiting for
    // the next enqueue.
    for (const auto &unit : channelUnits()) {
        async(logsDispatchQueue_, [unit] { unit->checkPendingLogsAfterRecount(); });
    }
}

void BCChannelGroupDefault::setLogUrl(const std::string &logUrl) {
    if (auto httpIngestion = std::dynamic_pointer_cast<BCHttpIngestion>(ingestion_)) {
        httpIngestion->setBaseURL(logUrl);
    }
}

void BCChannelGroupDefault::setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
    async(logsDispatchQueue_, [storage = storage_, sizeInBytes, handler = std::move(completionHandler)] {
        storage->setMaxStorageSize(sizeInBytes, handler);
    });
}

void BCChannelGroupDefault::setEnabledAndDeleteDataOnDisabled(bool enabled, bool deleteData) {
    async(logsDispatchQueue_, [group = shared_from_this(), enabled, deleteData] {
        std::vector<std::shared_ptr<BCChannelUnitDefault>> units;
        {
            std::lock_guard<std::recursive_mutex> lock(group->mutex_);
            group->enabled_ = enabled;
            group->discarding_ = !enabled && deleteData;
            units = group->channelUnits_;
        }
        group->ingestion_->setEnabled(enabled, deleteData);
        for (const auto &unit : units) unit->applyEnabledStateOnQueue(enabled, deleteData);
        group->delegates_.notify(&BCChannelDelegate::channelDidSetEnabled,
                                 std::static_pointer_cast<BCChannelProtocol>(group), enabled, deleteData);
    });
}

std::vector<std::shared_ptr<BCChannelUnitDefault>> BCChannelGroupDefault::channelUnits() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return channelUnits_;
}
