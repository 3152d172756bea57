#pragma once
// The one process-wide watcher of the kernel's link, address and route
// changes. Its thread starts with the first scheduled target and is never
// stopped. After a burst of changes has been quiet for about 100 ms it
// recomputes the flags of every scheduled target and queues each target's
// delivery on the main queue.
#include <memory>
#include <mutex>
#include <vector>

#include "platform/reachability/NetworkReachability.h"

namespace platform::reachability {

class ReachabilityMonitor {
public:
    static ReachabilityMonitor &shared();
    // False when netlink cannot be opened.
    bool add(const std::shared_ptr<NetworkReachability> &target);
    bool remove(const NetworkReachability *target);
    // Recomputes every target's flags and queues the deliveries.
    void recompute();

private:
    ReachabilityMonitor() = default;
    bool startLocked();
    void run();

    std::mutex mutex_;
    std::vector<std::weak_ptr<NetworkReachability>> targets_;
    int socket_ = -1;
    int wakeup_ = -1;
    bool started_ = false;
};

}  // namespace platform::reachability
