#pragma once
// The base of every service (the crash service among them): its start on
// the shared channel group, its own channel unit and its persisted enabled
// state ("<groupId>IsEnabled" in the SDK's user defaults).
//
// Locks: the instance's lock is taken after BCBeacon's, never before, and
// the service never takes BCBeacon's lock (it reads only BCBeacon's atomic
// flags and the stored SDK state).
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "BCChannelUnitConfiguration.h"

class BCChannelGroupProtocol;
class BCChannelUnitProtocol;

class BCServiceAbstract : public std::enable_shared_from_this<BCServiceAbstract> {
public:
    virtual ~BCServiceAbstract() = default;

    // The class's name ("BCCrashes"); messages use it less its first two
    // characters.
    virtual std::string className() const = 0;
    // The group id of the service's logs; names the enabled-state key.
    virtual std::string groupId() const = 0;
    // The configuration of the service's own channel unit; nothing for a
    // service without one.
    virtual std::optional<BCChannelUnitConfiguration> channelUnitConfiguration() const;

    virtual long initializationPriority() const { return 500; }
    // Enabled and started.
    bool isAvailable() const;
    bool isStarted() const { return started_; }
    bool isStartedFromApplication() const { return startedFromApplication_; }
    // Every service here sends through the Beacon ingestion, which sends
    // nothing without a secret.
    virtual bool isAppSecretRequired() const { return true; }

    virtual void startWithChannelGroup(const std::shared_ptr<BCChannelGroupProtocol> &channelGroup,
                                       const std::optional<std::string> &appSecret,
                                       const std::optional<std::string> &transmissionTargetToken, bool fromApplication);
    virtual void updateConfigurationWithAppSecret(const std::optional<std::string> &appSecret,
                                                  const std::optional<std::string> &transmissionTargetToken);

    // "<groupId>IsEnabled".
    std::string isEnabledKey() const;
    // The stored state; YES when nothing is stored.
    bool instanceIsEnabled() const;
    // Applies a changed state, then stores it (applying may read the old).
    void instanceSetEnabled(bool isEnabled);
    // Enables the service's unit, or disables it deleting its stored logs.
    // Overrides call this first.
    virtual void applyEnabledState(bool isEnabled);
    // The SDK is configured and the service started; logs why not.
    bool canBeUsed() const;

    std::shared_ptr<BCChannelGroupProtocol> channelGroup() const;
    std::shared_ptr<BCChannelUnitProtocol> channelUnit() const;
    std::optional<std::string> appSecret() const;
    std::optional<std::string> defaultTransmissionTargetToken() const;

    // The class forms of isEnabled / setEnabled:, which each service's own
    // statics call with its shared instance, under that instance's lock.
    static bool isEnabled(const std::shared_ptr<BCServiceAbstract> &sharedInstance);
    static void setEnabled(const std::shared_ptr<BCServiceAbstract> &sharedInstance, bool isEnabled);

    // The lock of the shared instance.
    std::recursive_mutex &mutex() const { return mutex_; }

protected:
    // The class name less its first two characters ("Crashes").
    std::string shortClassName() const;

private:
    mutable std::recursive_mutex mutex_;
    std::atomic<bool> startedFromApplication_{false};
    std::atomic<bool> started_{false};
    std::shared_ptr<BCChannelGroupProtocol> channelGroup_;
    std::shared_ptr<BCChannelUnitProtocol> channelUnit_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;
};
