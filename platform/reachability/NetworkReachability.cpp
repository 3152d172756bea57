// Reachability targets: their flags from the routing answer, and their
// callbacks from the process-wide monitor.
#include "platform/reachability/NetworkReachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/reachability/ReachabilityMonitor.h"
#include "platform/reachability/RouteQuery.h"

namespace platform::reachability {

namespace {

// Addresses whose route stands for the internet in general.
constexpr unsigned char kProbeIPv4[4] = {1, 1, 1, 1};
const unsigned char *probeIPv6() {
    static unsigned char address[16];
    static bool once = (inet_pton(AF_INET6, "2606:4700:4700::1111", address), true);
    (void)once;
    return address;
}

std::mutex &providerMutex() {
    static auto *m = new std::mutex;
    return *m;
}
std::function<std::optional<Flags>(const NetworkReachability &)> &provider() {
    static auto *p = new std::function<std::optional<Flags>(const NetworkReachability &)>;
    return *p;
}

bool isZero(const unsigned char *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (bytes[i]) return false;
    return true;
}

}  // namespace

std::shared_ptr<NetworkReachability> NetworkReachability::createWithAddress(const sockaddr *address) {
    if (!address) return nullptr;
    std::shared_ptr<NetworkReachability> target(new NetworkReachability);
    if (address->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(address);
        target->family_ = AF_INET;
        std::memcpy(target->address_, &in->sin_addr, 4);
        target->internet_ = isZero(target->address_, 4);
    } else if (address->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
        target->family_ = AF_INET6;
        std::memcpy(target->address_, &in6->sin6_addr, 16);
        target->internet_ = isZero(target->address_, 16);
    } else {
        return nullptr;
    }
    return target;
}

std::shared_ptr<NetworkReachability> NetworkReachability::createWithName(const std::string &host) {
    if (host.empty()) return nullptr;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &in.sin_addr) == 1)
        return createWithAddress(reinterpret_cast<sockaddr *>(&in));
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) == 1)
        return createWithAddress(reinterpret_cast<sockaddr *>(&in6));
    // Names are not resolved: they answer the internet's flags.
    sockaddr_in any{};
    any.sin_family = AF_INET;
    return createWithAddress(reinterpret_cast<sockaddr *>(&any));
}

NetworkReachability::~NetworkReachability() { ReachabilityMonitor::shared().remove(this); }

bool NetworkReachability::getFlags(Flags *flags) const {
    std::function<std::optional<Flags>(const NetworkReachability &)> testProvider;
    {
        std::lock_guard<std::mutex> lock(providerMutex());
        testProvider = provider();
    }
    std::optional<Flags> answer;
    if (testProvider) {
        answer = testProvider(*this);
    } else if (internet_) {
        answer = RouteQuery::flagsForDestination(family_, family_ == AF_INET6 ? probeIPv6() : kProbeIPv4);
    } else {
        answer = RouteQuery::flagsForDestination(family_, address_);
    }
    if (!answer) return false;
    if (flags) *flags = *answer;
    return true;
}

bool NetworkReachability::setCallback(std::function<void(Flags)> callback) {
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    callback_ = std::move(callback);
    return true;
}

bool NetworkReachability::scheduleWithMainRunLoop() {
    Flags flags = 0;
    bool readable = getFlags(&flags);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        lastDelivered_ = readable ? flags : 0;
    }
    if (!ReachabilityMonitor::shared().add(shared_from_this())) return false;
    std::lock_guard<std::mutex> lock(stateMutex_);
    scheduled_ = true;
    return true;
}

bool NetworkReachability::unscheduleFromMainRunLoop() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        scheduled_ = false;
    }
    return ReachabilityMonitor::shared().remove(this);
}

void NetworkReachability::deliver(Flags flags) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!scheduled_ || (lastDelivered_ && *lastDelivered_ == flags)) return;
        lastDelivered_ = flags;
    }
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    auto callback = callback_;
    if (callback) callback(flags);
}

void NetworkReachability::setFlagsProviderForTesting(
    std::function<std::optional<Flags>(const NetworkReachability &)> testProvider) {
    std::lock_guard<std::mutex> lock(providerMutex());
    provider() = std::move(testProvider);
}

void NetworkReachability::simulateNetworkChangeForTesting() { ReachabilityMonitor::shared().recompute(); }

}  // namespace platform::reachability
