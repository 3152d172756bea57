#pragma once
// The SDK entry point: configures the telemetry core once per launch (secret,
// install id, session and user id contexts, the channel group with the SDK's
// own "Beacon" unit, the stored enabled state, the log level), starts the
// requested services in priority order and sends one start-service log.
// Afterwards it answers what every other part asks: configured? enabled?
// install id? debugger attached?
//
// Locks: the singleton's recursive lock is taken before a service's lock,
// never after; the flags the services read (configured, enabled-state
// updating) are atomics, so a service never needs this lock.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCLogger.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

class BCChannelGroupDefault;
class BCChannelUnitProtocol;
class BCCustomProperties;
class BCEventCollectorChannelDelegate;
class BCServiceAbstract;
class BCWrapperSdk;
struct BCServiceClass;

class BCBeacon : public std::enable_shared_from_this<BCBeacon> {
public:
    using Services = std::vector<const BCServiceClass *>;

    // Smallest storage size accepted, in bytes.
    static constexpr int64_t kMinAllowedStorageSize = 24576;

    static std::shared_ptr<BCBeacon> sharedInstance();
    static void resetSharedInstance();

    // Class operations.
    static void start(const std::optional<std::string> &appSecret, const std::optional<Services> &services);
    static void startWithServices(const std::optional<Services> &services);
    static void startFromLibraryWithServices(const std::optional<Services> &services);
    static void startService(const BCServiceClass *service);
    static void configureWithAppSecret(const std::optional<std::string> &appSecret);
    static void configure();
    static bool isConfigured();
    static bool isRunningInBeaconTestLab();
    static void setLogUrl(const std::string &logUrl);
    static std::optional<std::string> logUrl();
    static void setEnabled(bool isEnabled);
    static bool isEnabled();
    static bool isAppDelegateForwarderEnabled();
    static platform::UUID installId();
    static BCLogLevel logLevel();
    static void setLogLevel(BCLogLevel logLevel);
    static BCLogHandler logHandler();
    static void setLogHandler(BCLogHandler logHandler);
    static void setWrapperSdk(std::shared_ptr<BCWrapperSdk> wrapperSdk);
    static std::shared_ptr<BCWrapperSdk> wrapperSdk();
    static void setCountryCode(std::optional<std::string> countryCode);
    static std::optional<std::string> countryCode();
    static std::optional<std::string> userId();
    static void setUserId(const std::optional<std::string> &userId);
    static void setCustomProperties(const std::shared_ptr<BCCustomProperties> &customProperties);
    // The handler runs on the channel group's queue when the size reached
    // the store, else on the calling thread.
    static void setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler);
    static std::string sdkVersion();
    static std::string logTag();
    static std::string groupId();
    // Whether a tracer is attached, read once per process.
    static bool isDebuggerAttached();
    // The answer for a checked read of the tracer: nothing (the read failed)
    // writes the failure line to the system log and answers NO.
    static bool debuggerAttachedFromCheck(std::optional<bool> checked);

    BCBeacon();

    // Instance operations.
    bool configureWithAppSecret(const std::optional<std::string> &appSecret,
                                const std::optional<std::string> &transmissionTargetToken, bool fromApplication);
    void start(const std::optional<std::string> &secretString, const std::optional<Services> &services,
               bool fromApplication);
    void startServices(const std::optional<Services> &services, const std::optional<std::string> &appSecret,
                       const std::optional<std::string> &transmissionTargetToken, bool fromApplication);
    // Higher initialization priority first; equal priorities keep their order.
    Services sortServices(const Services &services);
    // Whether the service counts as started.
    bool startService(const BCServiceClass *service, const std::optional<std::string> &appSecret,
                      const std::optional<std::string> &transmissionTargetToken, bool fromApplication);
    void instanceSetLogUrl(const std::string &logUrl);
    std::optional<std::string> instanceLogUrl() const;
    void instanceSetMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler);
    void instanceSetUserId(const std::optional<std::string> &userId);
    void instanceSetCustomProperties(const std::shared_ptr<BCCustomProperties> &customProperties);
    void instanceSetEnabled(bool isEnabled);
    // The stored state ("BeaconIsEnabled"); YES when nothing is stored. Takes
    // no lock.
    bool instanceIsEnabled() const;
    void applyPipelineEnabledState(bool isEnabled);
    void initializeChannelGroup();
    platform::UUID instanceInstallId();
    bool canBeUsed() const;
    void sendStartServiceLog(const std::vector<std::string> &servicesNames);
    void sendCustomPropertiesLog(const platform::Dictionary &properties);
    // "BEACON_DISABLE" names the service or holds "All".
    bool shouldDisable(const std::string &serviceName) const;

    bool isSdkConfigured() const { return sdkConfigured_; }
    bool isConfiguredFromApplication() const { return configuredFromApplication_; }
    bool isEnabledStateUpdating() const { return enabledStateUpdating_; }
    std::shared_ptr<BCChannelGroupDefault> channelGroup() const;
    std::shared_ptr<BCChannelUnitProtocol> channelUnit() const;
    std::shared_ptr<BCEventCollectorChannelDelegate> eventCollectorChannelDelegate() const;
    std::vector<std::shared_ptr<BCServiceAbstract>> services() const;
    std::optional<std::vector<std::string>> startedServiceNames() const;
    std::optional<std::string> appSecret() const;
    std::optional<std::string> defaultTransmissionTargetToken() const;

private:
    mutable std::recursive_mutex mutex_;
    std::atomic<bool> sdkConfigured_{false};
    std::atomic<bool> configuredFromApplication_{false};
    std::atomic<bool> enabledStateUpdating_{false};
    bool setMaxStorageSizeHasBeenCalled_ = false;
    std::optional<platform::UUID> installId_;
    std::optional<std::string> logUrl_;
    std::shared_ptr<BCChannelUnitProtocol> channelUnit_;
    std::shared_ptr<BCEventCollectorChannelDelegate> eventCollectorChannelDelegate_;
    std::shared_ptr<BCChannelGroupDefault> channelGroup_;
    std::vector<std::shared_ptr<BCServiceAbstract>> services_;
    // The class of each entry of services_, whose class forms setEnabled: calls.
    std::vector<const BCServiceClass *> serviceClasses_;
    std::optional<std::vector<std::string>> startedServiceNames_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;
    std::optional<int64_t> requestedMaxStorageSizeInBytes_;
    std::function<void(bool)> maxStorageSizeCompletionHandler_;
};
