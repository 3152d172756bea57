#include "BCBeacon.h"

#include <algorithm>

#include "BCAppDelegateForwarder.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitProtocol.h"
#include "BCCustomProperties.h"
#include "BCCustomPropertiesLog.h"
#include "BCDefaultLogUrls.h"
#include "BCDelegateForwarder.h"
#include "BCDependencyConfiguration.h"
#include "BCDeviceTracker.h"
#include "BCEventCollectorChannelDelegate.h"
#include "BCHttpClient.h"
#include "BCServiceAbstract.h"
#include "BCServiceClass.h"
#include "BCSessionContext.h"
#include "BCStartServiceLog.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/syslog/SystemLog.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kGroupId = "Beacon";
constexpr const char *kEnabledKey = "BeaconIsEnabled";
constexpr const char *kInstallIdKey = "InstallId";
constexpr const char *kDisableVariable = "BEACON_DISABLE";
constexpr const char *kDisableAllServices = "All";
constexpr const char *kTestLabVariable = "RUNNING_IN_BEACON";
constexpr const char *kNotConfiguredMessage =
    "Beacon SDK hasn't been configured. You need to call [BCBeacon start:YOUR_APP_SECRET "
    "withServices:LIST_OF_SERVICES] first.";

std::mutex sharedMutex;
std::shared_ptr<BCBeacon> sharedBeacon;

const char *libraryText(bool fromApplication) { return fromApplication ? "" : "from a library "; }

// "%@" of a service class: its name, or "(null)" for nil.
std::string classText(const BCServiceClass *service) { return service ? service->className : "(null)"; }

}  // namespace

// Singleton.

std::shared_ptr<BCBeacon> BCBeacon::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    if (!sharedBeacon) sharedBeacon = std::make_shared<BCBeacon>();
    return sharedBeacon;
}

void BCBeacon::resetSharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedBeacon.reset();
}

BCBeacon::BCBeacon() {
    BCBeaconUserDefaults::shared()->migrateKeys(
        {
            {"BNBeaconChannelStartTimer", BCUserDefaultsPrefixKey("BNChannelStartTimer")},
            {"BNBeaconPastDevices", std::string("pastDevicesKey")},
            {"BNBeaconInstallId", std::string("BNInstallId")},
            {"BNBeaconBeaconIsEnabled", std::string("BNBeaconIsEnabled")},
            {"BNBeaconEncryptionKeyMetadata", std::string("BNEncryptionKeyMetadata")},
            {"BNBeaconSessionIdHistory", std::string("SessionIdHistory")},
            {"BNBeaconUserIdHistory", std::string("UserIdHistory")},
        },
        kGroupId);
    BCUtility::addMigrationClasses({
        {"BNDeviceHistoryInfo", "BCDeviceHistoryInfo"},
        {"BNDevice", "BCDevice"},
        {"BNStartServiceLog", "BCStartServiceLog"},
        {"BNSessionHistoryInfo", "BCSessionHistoryInfo"},
        {"BNUserIdHistoryInfo", "BCUserIdHistoryInfo"},
        {"BNLogWithProperties", "BCLogWithProperties"},
        {"BNLogContainer", "BCLogContainer"},
        {"BNWrapperSdk", "BCWrapperSdk"},
        {"BNAbstractLog", "BCAbstractLog"},
    });
    BCUtility::addMigrationClasses({{"BNCustomProperties", "BCCustomProperties"}});
}

// Class operations.

void BCBeacon::start(const std::optional<std::string> &appSecret, const std::optional<Services> &services) {
    sharedInstance()->start(appSecret, services, true);
}

void BCBeacon::startWithServices(const std::optional<Services> &services) {
    sharedInstance()->start(std::nullopt, services, true);
}

void BCBeacon::startFromLibraryWithServices(const std::optional<Services> &services) {
    sharedInstance()->start(std::nullopt, services, false);
}

void BCBeacon::startService(const BCServiceClass *service) {
    if (!service) return;
    const auto beacon = sharedInstance();
    beacon->startServices(Services{service}, beacon->appSecret(), beacon->defaultTransmissionTargetToken(), true);
}

void BCBeacon::configureWithAppSecret(const std::optional<std::string> &appSecret) {
    sharedInstance()->configureWithAppSecret(BCUtility::appSecretFrom(appSecret),
                                             BCUtility::transmissionTargetTokenFrom(appSecret), true);
}

void BCBeacon::configure() { sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true); }

bool BCBeacon::isConfigured() {
    const auto beacon = sharedInstance();
    return beacon->isSdkConfigured() && beacon->isConfiguredFromApplication();
}

bool BCBeacon::isRunningInBeaconTestLab() {
    return platform::ProcessInfo::processInfo()->environmentValue(kTestLabVariable) == "1";
}

void BCBeacon::setLogUrl(const std::string &logUrl) { sharedInstance()->instanceSetLogUrl(logUrl); }

std::optional<std::string> BCBeacon::logUrl() { return sharedInstance()->instanceLogUrl(); }

void BCBeacon::setEnabled(bool isEnabled) { sharedInstance()->instanceSetEnabled(isEnabled); }

bool BCBeacon::isEnabled() {
    const auto beacon = sharedInstance();
    std::lock_guard<std::recursive_mutex> lock(beacon->mutex_);
    return beacon->canBeUsed() && beacon->instanceIsEnabled();
}

bool BCBeacon::isAppDelegateForwarderEnabled() { return BCAppDelegateForwarder::sharedInstance()->isEnabled(); }

platform::UUID BCBeacon::installId() { return sharedInstance()->instanceInstallId(); }

BCLogLevel BCBeacon::logLevel() { return BCLogger::currentLogLevel(); }

void BCBeacon::setLogLevel(BCLogLevel logLevel) {
    BCLogger::setCurrentLogLevel(logLevel);
    BCDelegateForwarder::flushTraceBuffer();
}

BCLogHandler BCBeacon::logHandler() { return BCLogger::logHandler(); }

void BCBeacon::setLogHandler(BCLogHandler logHandler) { BCLogger::setLogHandler(std::move(logHandler)); }

void BCBeacon::setWrapperSdk(std::shared_ptr<BCWrapperSdk> wrapperSdk) {
    BCDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}

std::shared_ptr<BCWrapperSdk> BCBeacon::wrapperSdk() { return BCDeviceTracker::sharedInstance()->wrapperSdk(); }

void BCBeacon::setCountryCode(std::optional<std::string> countryCode) {
    BCDeviceTracker::sharedInstance()->setCountryCode(std::move(countryCode));
}

std::optional<std::string> BCBeacon::countryCode() { return BCDeviceTracker::sharedInstance()->countryCode(); }

std::optional<std::string> BCBeacon::userId() { return BCUserIdContext::sharedInstance()->userId(); }

void BCBeacon::setUserId(const std::optional<std::string> &userId) { sharedInstance()->instanceSetUserId(userId); }

void BCBeacon::setCustomProperties(const std::shared_ptr<BCCustomProperties> &customProperties) {
    sharedInstance()->instanceSetCustomProperties(customProperties);
}

void BCBeacon::setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
    sharedInstance()->instanceSetMaxStorageSize(sizeInBytes, std::move(completionHandler));
}

std::string BCBeacon::sdkVersion() { return BCUtility::sdkVersion(); }

std::string BCBeacon::logTag() { return kLogTag; }

std::string BCBeacon::groupId() { return kGroupId; }

bool BCBeacon::isDebuggerAttached() {
    static const bool attached =
        debuggerAttachedFromCheck(platform::ProcessInfo::processInfo()->checkedIsDebuggerAttached());
    return attached;
}

bool BCBeacon::debuggerAttachedFromCheck(std::optional<bool> checked) {
    if (checked) return *checked;
    platform::SystemLog::write("[BCCrashes] ERROR: Checking for a running debugger via sysctl() failed.");
    return false;
}

// Configuring and starting.

void BCBeacon::start(const std::optional<std::string> &secretString, const std::optional<Services> &services,
                     bool fromApplication) {
    const auto appSecret = BCUtility::appSecretFrom(secretString);
    const auto token = BCUtility::transmissionTargetTokenFrom(secretString);
    const bool configured = configureWithAppSecret(appSecret, token, fromApplication);
    if (services && configured) startServices(services, appSecret, token, fromApplication);
}

bool BCBeacon::configureWithAppSecret(const std::optional<std::string> &appSecret,
                                      const std::optional<std::string> &transmissionTargetToken, bool fromApplication) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (fromApplication && configuredFromApplication_) {
        BCLogAssert(kLogTag, "Beacon SDK has already been configured.");
        BCLogAssert(kLogTag, "Beacon SDK configuration %@failed.", libraryText(fromApplication));
        return false;
    }
    if (!appSecret_) {
        appSecret_ = appSecret;
        BCSessionContext::sharedInstance()->setSessionId(std::nullopt);
    }
    if (!defaultTransmissionTargetToken_) defaultTransmissionTargetToken_ = transmissionTargetToken;
    BCUserIdContext::sharedInstance();
    initializeChannelGroup();
    applyPipelineEnabledState(instanceIsEnabled());
    sdkConfigured_ = true;
    configuredFromApplication_ = configuredFromApplication_ || fromApplication;
    if (!BCLogger::isUserDefinedLogLevel() && BCUtility::currentAppEnvironment() == BCEnvironmentOther) {
        setLogLevel(BCLogLevelWarning);
    }
    BCLogInfo(kLogTag, "Beacon SDK configured %@successfully.", libraryText(fromApplication));
    return true;
}

void BCBeacon::initializeChannelGroup() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const platform::UUID id = instanceInstallId();
    if (!eventCollectorChannelDelegate_) {
        eventCollectorChannelDelegate_ =
            BCEventCollectorChannelDelegate::make(BCHttpClient::make(), id, appSecret_ ? std::nullopt : logUrl_);
    }
    if (!channelGroup_) {
        std::shared_ptr<BCHttpClientProtocol> httpClient = BCDependencyConfiguration::httpClient();
        if (!httpClient) httpClient = BCHttpClient::make();
        channelGroup_ = BCChannelGroupDefault::make(httpClient, id, logUrl_.value_or(kBCDefaultLogUrl));
        channelGroup_->addDelegate(eventCollectorChannelDelegate_);
        if (requestedMaxStorageSizeInBytes_) {
            channelGroup_->setMaxStorageSize(*requestedMaxStorageSizeInBytes_, maxStorageSizeCompletionHandler_);
        }
    }
    channelGroup_->setAppSecret(appSecret_);
    if (!channelUnit_) {
        channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(
            BCChannelUnitConfiguration::defaultConfigurationWithGroupId(kGroupId));
    }
}

void BCBeacon::startServices(const std::optional<Services> &services, const std::optional<std::string> &appSecret,
                             const std::optional<std::string> &transmissionTargetToken, bool fromApplication) {
    if (!services || !sdkConfigured_) return;
    const Services sorted = sortServices(*services);
    std::string classNames;
    for (const auto *service : sorted) classNames += (classNames.empty() ? "" : ", ") + classText(service);
    BCLogVerbose(kLogTag, "Start services %@ from %@", classNames, fromApplication ? "an application" : "a library");
    std::vector<std::string> startedNames;
    for (const auto *service : sorted) {
        if (startService(service, appSecret, transmissionTargetToken, fromApplication)) {
            startedNames.push_back(service->serviceName());
        }
    }
    if (startedNames.empty()) {
        BCLogDebug(kLogTag, "No services have been started.");
    } else if (fromApplication) {
        sendStartServiceLog(startedNames);
    }
}

BCBeacon::Services BCBeacon::sortServices(const Services &services) {
    Services sorted = services;
    if (sorted.size() < 2) return sorted;
    auto priority = [](const BCServiceClass *service) -> long {
        if (!service || !service->sharedInstance) return 0;
        const auto instance = service->sharedInstance();
        return instance ? instance->initializationPriority() : 0;
    };
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](const BCServiceClass *a, const BCServiceClass *b) { return priority(a) > priority(b); });
    return sorted;
}

bool BCBeacon::startService(const BCServiceClass *service, const std::optional<std::string> &appSecret,
                            const std::optional<std::string> &transmissionTargetToken, bool fromApplication) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!service || !service->conformsToServiceCommon()) {
        BCLogError(kLogTag, "Cannot start service %@. Provided value is nil or invalid.", classText(service));
        return false;
    }
    if (!sdkConfigured_ || (fromApplication && !configuredFromApplication_)) {
        BCLogError(kLogTag, "Beacon has not been configured so it couldn't start the service.");
        return false;
    }
    const auto instance = service->sharedInstance();
    if (!instance) {
        BCLogError(kLogTag, "Cannot start service %@. Provided value is nil or invalid.", classText(service));
        return false;
    }
    // "Already started" is the start flag: a started but disabled service
    // must not be started a second time.
    if (fromApplication && instance->isStarted() && instance->isStartedFromApplication()) return false;
    if (instance->isAppSecretRequired() && appSecret.value_or("").empty()) {
        BCLogError(kLogTag,
                   "Cannot start service %@. Beacon was started without app secret, but the service requires it.",
                   classText(service));
        return false;
    }
    if (shouldDisable(service->serviceName())) {
        BCLogDebug(kLogTag, "Environment variable to disable service has been set; not starting service %@",
                   classText(service));
        return false;
    }
    if (instance->isStarted()) {
        if (fromApplication) instance->updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
        return true;
    }
    services_.push_back(instance);
    serviceClasses_.push_back(service);
    instance->startWithChannelGroup(channelGroup_, appSecret, transmissionTargetToken, fromApplication);
    if (service->isEnabled() && !instanceIsEnabled()) {
        enabledStateUpdating_ = true;
        service->setEnabled(false);
        enabledStateUpdating_ = false;
    }
    return true;
}

bool BCBeacon::shouldDisable(const std::string &serviceName) const {
    const auto value = platform::ProcessInfo::processInfo()->environmentValue(kDisableVariable);
    if (!value) return false;
    size_t start = 0;
    while (start <= value->size()) {
        size_t end = value->find(',', start);
        if (end == std::string::npos) end = value->size();
        std::string item = value->substr(start, end - start);
        const size_t first = item.find_first_not_of(" \t");
        const size_t last = item.find_last_not_of(" \t");
        item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
        if (item == serviceName || item == kDisableAllServices) return true;
        start = end + 1;
    }
    return false;
}

void BCBeacon::sendStartServiceLog(const std::vector<std::string> &servicesNames) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (instanceIsEnabled()) {
        auto log = std::make_shared<BCStartServiceLog>();
        log->setServices(servicesNames);
        if (channelUnit_) channelUnit_->enqueueItem(log, BCFlagsNormal);
    } else {
        if (!startedServiceNames_) startedServiceNames_.emplace();
        startedServiceNames_->insert(startedServiceNames_->end(), servicesNames.begin(), servicesNames.end());
    }
}

// Settings.

void BCBeacon::instanceSetLogUrl(const std::string &logUrl) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    logUrl_ = logUrl;
    if (!channelGroup_) return;
    if (appSecret_) {
        BCLogInfo(kLogTag, "The log url of Beacon endpoint was changed to %@", logUrl);
        channelGroup_->setLogUrl(logUrl);
    } else {
        BCLogInfo(kLogTag, "The log url of Event Collector endpoint was changed to %@", logUrl);
        if (eventCollectorChannelDelegate_) eventCollectorChannelDelegate_->setLogUrl(logUrl);
    }
}

std::optional<std::string> BCBeacon::instanceLogUrl() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return logUrl_;
}

void BCBeacon::instanceSetMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
    if (sizeInBytes < kMinAllowedStorageSize) {
        if (completionHandler) completionHandler(false);
        BCLogWarning(kLogTag, "Cannot set storage size to %ld bytes, minimum value is %ld bytes", sizeInBytes,
                     kMinAllowedStorageSize);
        return;
    }
    bool refused = false;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (setMaxStorageSizeHasBeenCalled_) {
            BCLogWarning(kLogTag, "setMaxStorageSize:completionHandler: may only be called once per app launch");
            refused = true;
        } else {
            setMaxStorageSizeHasBeenCalled_ = true;
            if (configuredFromApplication_) {
                BCLogWarning(kLogTag, "Unable to set storage size after the application has configured Beacon");
                refused = true;
            } else {
                requestedMaxStorageSizeInBytes_ = sizeInBytes;
                maxStorageSizeCompletionHandler_ = completionHandler;
                if (channelGroup_) channelGroup_->setMaxStorageSize(sizeInBytes, completionHandler);
            }
        }
    }
    if (refused && completionHandler) completionHandler(false);
}

void BCBeacon::instanceSetUserId(const std::optional<std::string> &userId) {
    // Copied under the lock: a configure on another thread may write them.
    std::optional<std::string> appSecret;
    std::optional<std::string> token;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        appSecret = appSecret_;
        token = defaultTransmissionTargetToken_;
    }
    if (!configuredFromApplication_) {
        BCLogError(kLogTag, "Beacon must be configured from application, libraries cannot call setUserId.");
        return;
    }
    if (!appSecret && !token) {
        BCLogError(kLogTag, "Beacon must be configured with a secret from application to call setUserId.");
        return;
    }
    if (userId) {
        if (appSecret && !BCUserIdContext::isUserIdValidForBeacon(userId)) return;
        if (token && !BCUserIdContext::isUserIdValidForEventCollector(userId)) return;
    }
    BCUserIdContext::sharedInstance()->setUserId(userId);
}

void BCBeacon::instanceSetCustomProperties(const std::shared_ptr<BCCustomProperties> &customProperties) {
    const platform::Dictionary properties =
        customProperties ? customProperties->propertiesImmutableCopy() : platform::Dictionary();
    if (properties.empty()) {
        BCLogError(kLogTag, "Custom properties may not be null or empty");
        return;
    }
    sendCustomPropertiesLog(properties);
}

void BCBeacon::sendCustomPropertiesLog(const platform::Dictionary &properties) {
    const auto unit = channelUnit();
    if (!unit) {
        // Before configure there is no unit to take the log.
        canBeUsed();
        return;
    }
    auto log = std::make_shared<BCCustomPropertiesLog>();
    log->setProperties(properties);
    unit->enqueueItem(log, BCFlagsNormal);
}

// Enabled state.

void BCBeacon::instanceSetEnabled(bool isEnabled) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!canBeUsed()) return;
    enabledStateUpdating_ = true;
    if (instanceIsEnabled() != isEnabled) {
        BCBeaconUserDefaults::shared()->setObject(isEnabled, kEnabledKey);
        applyPipelineEnabledState(isEnabled);
    }
    for (const auto *service : serviceClasses_) service->setEnabled(isEnabled);
    enabledStateUpdating_ = false;
    BCLogInfo(kLogTag, "Beacon SDK %@.", isEnabled ? "enabled" : "disabled");
}

bool BCBeacon::instanceIsEnabled() const {
    return BCBeaconUserDefaults::shared()->objectForKey(kEnabledKey).boolValue().value_or(true);
}

void BCBeacon::applyPipelineEnabledState(bool isEnabled) {
    platform::NotificationCenter::defaultCenter()->removeObserver(this);
    if (!isEnabled) {
        BCDeviceTracker::sharedInstance()->clearDevices();
        BCSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        BCUserIdContext::sharedInstance()->clearUserIdHistory();
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (channelGroup_) channelGroup_->setEnabledAndDeleteDataOnDisabled(isEnabled, true);
    if (isEnabled && startedServiceNames_) {
        const auto names = *startedServiceNames_;
        startedServiceNames_.reset();
        sendStartServiceLog(names);
    }
}

platform::UUID BCBeacon::instanceInstallId() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!installId_) {
        // Read, and made when absent or not a UUID, under the defaults' file
        // lock: two instances launched for the first time at once agree on
        // one id.
        const platform::Value kept =
            BCBeaconUserDefaults::shared()->loadOrStoreObjectForKey(kInstallIdKey, [](const platform::Value &stored) {
                if (const std::string *text = stored.string(); text && platform::UUID::fromString(*text)) return stored;
                return platform::Value(platform::UUID::random().UUIDString());
            });
        if (const std::string *text = kept.string()) installId_ = platform::UUID::fromString(*text);
        if (!installId_) installId_ = platform::UUID::random();
    }
    return *installId_;
}

bool BCBeacon::canBeUsed() const {
    if (sdkConfigured_) return true;
    BCLogError(kLogTag, "%@", kNotConfiguredMessage);
    return false;
}

// Accessors.

std::shared_ptr<BCChannelGroupDefault> BCBeacon::channelGroup() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return channelGroup_;
}

std::shared_ptr<BCChannelUnitProtocol> BCBeacon::channelUnit() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return channelUnit_;
}

std::shared_ptr<BCEventCollectorChannelDelegate> BCBeacon::eventCollectorChannelDelegate() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return eventCollectorChannelDelegate_;
}

std::vector<std::shared_ptr<BCServiceAbstract>> BCBeacon::services() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return services_;
}

std::optional<std::vector<std::string>> BCBeacon::startedServiceNames() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return startedServiceNames_;
}

std::optional<std::string> BCBeacon::appSecret() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return appSecret_;
}

std::optional<std::string> BCBeacon::defaultTransmissionTargetToken() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return defaultTransmissionTargetToken_;
}
