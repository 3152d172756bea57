#pragma once
// Network reachability of an address, from the kernel's routing answer
// (NETLINK_ROUTE), with change notifications.
//
// - The internet target (0.0.0.0 or ::) asks the kernel how it would route a
//   fixed global address (1.1.1.1, 2606:4700:4700::1111): a route lookup
//   only, no packet leaves. It follows policy routing. A unicast route whose
//   output link is up, running and not loopback is reachable (direct when it
//   has no gateway); unreachable, prohibit and blackhole routes give 0.
// - An address target asks the same for that address; a local address is
//   reachable, local and direct.
// - A host name is never resolved: an IP literal is taken as its address and
//   any other name answers the internet's flags.
// - Notifications come from one process-wide monitor thread that listens to
//   link, address and route changes, waits about 100 ms for a burst to end,
//   recomputes the flags of every scheduled target and queues the callback
//   of each target whose flags changed on the main queue.
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform::reachability {

using Flags = uint32_t;
// The same bit values as the system this stands in for.
inline constexpr Flags kFlagsTransientConnection = 1u << 0;
inline constexpr Flags kFlagsReachable = 1u << 1;
inline constexpr Flags kFlagsConnectionRequired = 1u << 2;
inline constexpr Flags kFlagsConnectionOnTraffic = 1u << 3;
inline constexpr Flags kFlagsInterventionRequired = 1u << 4;
inline constexpr Flags kFlagsConnectionOnDemand = 1u << 5;
inline constexpr Flags kFlagsIsLocalAddress = 1u << 16;
inline constexpr Flags kFlagsIsDirect = 1u << 17;

class NetworkReachability : public std::enable_shared_from_this<NetworkReachability> {
public:
    // AF_INET and AF_INET6 only; nullptr otherwise.
    static std::shared_ptr<NetworkReachability> createWithAddress(const sockaddr *address);
    // nullptr for an empty name.
    static std::shared_ptr<NetworkReachability> createWithName(const std::string &host);
    ~NetworkReachability();

    // False when the flags cannot be read (no netlink).
    bool getFlags(Flags *flags) const;
    // An empty callback clears it; once this returns, a callback running on
    // another thread has finished.
    bool setCallback(std::function<void(Flags)> callback);
    // Subscribes to the monitor; false when netlink cannot be opened.
    bool scheduleWithMainRunLoop();
    bool unscheduleFromMainRunLoop();

    // The address the target routes to (the internet's probe address for the
    // internet target).
    bool isInternetTarget() const { return internet_; }
    int family() const { return family_; }
    const unsigned char *address() const { return address_; }

    // Tests: replaces the kernel's answer (nullptr restores it), and runs the
    // monitor's recomputation at once.
    static void setFlagsProviderForTesting(std::function<std::optional<Flags>(const NetworkReachability &)> provider);
    static void simulateNetworkChangeForTesting();

private:
    friend class ReachabilityMonitor;
    NetworkReachability() = default;
    // Runs the callback (main thread) when the flags differ from the last
    // delivered ones.
    void deliver(Flags flags);

    bool internet_ = false;
    int family_ = 0;
    unsigned char address_[16] = {};

    std::recursive_mutex callbackMutex_;  // held while the callback runs
    std::function<void(Flags)> callback_;
    std::mutex stateMutex_;
    std::optional<Flags> lastDelivered_;
    bool scheduled_ = false;
};

}  // namespace platform::reachability
