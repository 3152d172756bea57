#pragma once
// The application-delegate forwarder. Its switch is the main bundle's
// Info.plist key "BeaconAppDelegateForwarderEnabled": absent counts as
// enabled, only an explicit NO disables it.
#include <memory>

#include "BCDelegateForwarder.h"

class BCAppDelegateForwarder : public BCDelegateForwarder {
public:
    static constexpr const char *kEnabledKey = "BeaconAppDelegateForwarderEnabled";

    static std::shared_ptr<BCAppDelegateForwarder> sharedInstance();
    static void resetSharedInstance();

    BCAppDelegateForwarder();
    bool isEnabled() const { return enabled_; }

private:
    bool enabled_;
};
