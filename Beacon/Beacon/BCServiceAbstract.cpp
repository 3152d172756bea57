#include "BCServiceAbstract.h"

#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupProtocol.h"
#include "BCChannelUnitProtocol.h"
#include "BCLogger.h"

std::optional<BCChannelUnitConfiguration> BCServiceAbstract::channelUnitConfiguration() const { return std::nullopt; }

bool BCServiceAbstract::isAvailable() const { return instanceIsEnabled() && started_; }

void BCServiceAbstract::startWithChannelGroup(const std::shared_ptr<BCChannelGroupProtocol> &channelGroup,
                                              const std::optional<std::string> &appSecret,
                                              const std::optional<std::string> &transmissionTargetToken,
                                              bool fromApplication) {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        startedFromApplication_ = fromApplication;
        channelGroup_ = channelGroup;
        appSecret_ = appSecret;
        defaultTransmissionTargetToken_ = transmissionTargetToken;
        started_ = true;
    }
    if (auto configuration = channelUnitConfiguration(); configuration && channelGroup) {
        auto unit = channelGroup->addChannelUnitWithConfiguration(*configuration);
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        channelUnit_ = std::move(unit);
    }
    if (instanceIsEnabled()) applyEnabledState(true);
}

void BCServiceAbstract::updateConfigurationWithAppSecret(const std::optional<std::string> &appSecret,
                                                         const std::optional<std::string> &transmissionTargetToken) {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        startedFromApplication_ = true;
        appSecret_ = appSecret;
        defaultTransmissionTargetToken_ = transmissionTargetToken;
    }
    if (instanceIsEnabled()) applyEnabledState(true);
}

std::string BCServiceAbstract::isEnabledKey() const { return platform::format("%@IsEnabled", groupId()); }

bool BCServiceAbstract::instanceIsEnabled() const {
    return BCBeaconUserDefaults::shared()->objectForKey(isEnabledKey()).boolValue().value_or(true);
}

void BCServiceAbstract::instanceSetEnabled(bool isEnabled) {
    if (instanceIsEnabled() == isEnabled) return;
    applyEnabledState(isEnabled);
    BCBeaconUserDefaults::shared()->setObject(isEnabled, isEnabledKey());
}

void BCServiceAbstract::applyEnabledState(bool isEnabled) {
    if (auto unit = channelUnit()) unit->setEnabledAndDeleteDataOnDisabled(isEnabled, true);
}

bool BCServiceAbstract::canBeUsed() const {
    if (BCBeacon::sharedInstance()->isSdkConfigured() && started_) return true;
    BCLogError(BCBeacon::logTag(),
               "%@ service hasn't been started. You need to call [BCBeacon start:YOUR_APP_SECRET "
               "withServices:LIST_OF_SERVICES] first.",
               shortClassName());
    return false;
}

std::shared_ptr<BCChannelGroupProtocol> BCServiceAbstract::channelGroup() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return channelGroup_;
}

std::shared_ptr<BCChannelUnitProtocol> BCServiceAbstract::channelUnit() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return channelUnit_;
}

std::optional<std::string> BCServiceAbstract::appSecret() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return appSecret_;
}

std::optional<std::string> BCServiceAbstract::defaultTransmissionTargetToken() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return defaultTransmissionTargetToken_;
}

bool BCServiceAbstract::isEnabled(const std::shared_ptr<BCServiceAbstract> &sharedInstance) {
    if (!sharedInstance) return false;
    std::lock_guard<std::recursive_mutex> lock(sharedInstance->mutex_);
    return sharedInstance->canBeUsed() && sharedInstance->instanceIsEnabled();
}

void BCServiceAbstract::setEnabled(const std::shared_ptr<BCServiceAbstract> &sharedInstance, bool isEnabled) {
    if (!sharedInstance) return;
    std::lock_guard<std::recursive_mutex> lock(sharedInstance->mutex_);
    if (!sharedInstance->canBeUsed()) return;
    const auto beacon = BCBeacon::sharedInstance();
    if (!beacon->instanceIsEnabled() && !beacon->isEnabledStateUpdating()) {
        BCLogError(BCBeacon::logTag(),
                   "The SDK is disabled. Re-enable the whole SDK from Beacon first before enabling %@ service.",
                   sharedInstance->shortClassName());
        return;
    }
    sharedInstance->instanceSetEnabled(isEnabled);
}

std::string BCServiceAbstract::shortClassName() const {
    const std::string name = className();
    return name.size() > 2 ? name.substr(2) : std::string();
}
