// The reachability watcher: a notifier on the main thread over a platform
// reachability target.
#include "BC_Reachability.h"

#include <netinet/in.h>

#include "BCDispatcherUtil.h"
#include "platform/foundation/NotificationCenter.h"

using platform::reachability::Flags;
using platform::reachability::NetworkReachability;

const char *const kBNNetworkReachabilityChangedNotification = "kBNNetworkReachabilityChangedNotification";

std::shared_ptr<BC_Reachability> BC_Reachability::withRef(std::shared_ptr<NetworkReachability> ref) {
    if (!ref) return nullptr;
    return std::shared_ptr<BC_Reachability>(new BC_Reachability(std::move(ref)));
}

std::shared_ptr<BC_Reachability> BC_Reachability::reachabilityWithHostName(const std::string &hostName) {
    return withRef(NetworkReachability::createWithName(hostName));
}

std::shared_ptr<BC_Reachability> BC_Reachability::reachabilityWithAddress(const sockaddr *hostAddress) {
    return withRef(NetworkReachability::createWithAddress(hostAddress));
}

std::shared_ptr<BC_Reachability> BC_Reachability::reachabilityForInternetConnection() {
    sockaddr_in zeroAddress{};
    zeroAddress.sin_family = AF_INET;
    return reachabilityWithAddress(reinterpret_cast<const sockaddr *>(&zeroAddress));
}

BC_Reachability::~BC_Reachability() {
    if (!reachabilityRef_) return;
    // The callback holds the watcher weakly; clearing it here means no
    // notification names a watcher that is gone. The deferred unschedule
    // keeps only the target alive.
    reachabilityRef_->setCallback(nullptr);
    BCDispatcherUtil::performBlockOnMainThread([ref = reachabilityRef_] { ref->unscheduleFromMainRunLoop(); });
}

void BC_Reachability::startNotifier() {
    std::weak_ptr<BC_Reachability> weakSelf = weak_from_this();
    BCDispatcherUtil::performBlockOnMainThread([weakSelf] {
        auto self = weakSelf.lock();
        if (!self || !self->reachabilityRef_) return;
        auto ref = self->reachabilityRef_;
        bool registered = ref->setCallback([weakSelf](Flags) {
            if (auto watcher = weakSelf.lock())
                platform::NotificationCenter::defaultCenter()->postNotificationName(
                    kBNNetworkReachabilityChangedNotification, watcher);
        });
        if (registered && ref->scheduleWithMainRunLoop())
            platform::NotificationCenter::defaultCenter()->postNotificationName(
                kBNNetworkReachabilityChangedNotification, self);
    });
}

void BC_Reachability::stopNotifier() {
    std::weak_ptr<BC_Reachability> weakSelf = weak_from_this();
    BCDispatcherUtil::performBlockOnMainThread([weakSelf] {
        auto self = weakSelf.lock();
        if (self && self->reachabilityRef_) self->reachabilityRef_->unscheduleFromMainRunLoop();
    });
}

BCNetworkStatus BC_Reachability::currentReachabilityStatus() const {
    Flags flags = 0;
    if (!reachabilityRef_ || !reachabilityRef_->getFlags(&flags)) return NotReachable;
    return networkStatusForFlags(flags);
}

bool BC_Reachability::connectionRequired() const {
    Flags flags = 0;
    if (reachabilityRef_ && reachabilityRef_->getFlags(&flags))
        return (flags & platform::reachability::kFlagsConnectionRequired) != 0;
    return false;
}

BCNetworkStatus BC_Reachability::networkStatusForFlags(Flags flags) {
    using namespace platform::reachability;
    if (!(flags & kFlagsReachable)) return NotReachable;
    if (!(flags & kFlagsConnectionRequired)) return ReachableViaWiFi;
    if ((flags & (kFlagsConnectionOnDemand | kFlagsConnectionOnTraffic)) && !(flags & kFlagsInterventionRequired))
        return ReachableViaWiFi;
    return NotReachable;
}
