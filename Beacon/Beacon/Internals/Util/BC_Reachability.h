#pragma once
// Watches whether the network can be reached and posts
// "kBNNetworkReachabilityChangedNotification" (object: the watcher) on the
// main thread at every change, and once when the notifier starts.
#include <sys/socket.h>

#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/reachability/NetworkReachability.h"

extern const char *const kBNNetworkReachabilityChangedNotification;

enum BCNetworkStatus : long {
    NotReachable = 0,
    ReachableViaWiFi = 1,
};

class BC_Reachability : public platform::Object, public std::enable_shared_from_this<BC_Reachability> {
public:
    static std::shared_ptr<BC_Reachability> reachabilityWithHostName(const std::string &hostName);
    static std::shared_ptr<BC_Reachability> reachabilityWithAddress(const sockaddr *hostAddress);
    // The all-zero IPv4 address: the internet in general.
    static std::shared_ptr<BC_Reachability> reachabilityForInternetConnection();
    ~BC_Reachability() override;

    // Both run later on the main thread, in the order they were called.
    void startNotifier();
    void stopNotifier();

    BCNetworkStatus currentReachabilityStatus() const;
    bool connectionRequired() const;
    static BCNetworkStatus networkStatusForFlags(platform::reachability::Flags flags);

    std::shared_ptr<platform::reachability::NetworkReachability> reachabilityRef() const { return reachabilityRef_; }
    void setReachabilityRef(std::shared_ptr<platform::reachability::NetworkReachability> ref) {
        reachabilityRef_ = std::move(ref);
    }

    std::string className() const override { return "BC_Reachability"; }

private:
    explicit BC_Reachability(std::shared_ptr<platform::reachability::NetworkReachability> ref)
        : reachabilityRef_(std::move(ref)) {}
    static std::shared_ptr<BC_Reachability> withRef(std::shared_ptr<platform::reachability::NetworkReachability> ref);

    std::shared_ptr<platform::reachability::NetworkReachability> reachabilityRef_;
};
