// The process-wide netlink watcher behind reachability notifications.
#include "platform/reachability/ReachabilityMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/dispatch/Dispatch.h"

namespace platform::reachability {

namespace {
constexpr int kDebounceMs = 100;
}

ReachabilityMonitor &ReachabilityMonitor::shared() {
    // Never destroyed: its thread runs until the process ends.
    static auto *monitor = new ReachabilityMonitor;
    return *monitor;
}

bool ReachabilityMonitor::startLocked() {
    if (started_) return true;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return false;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        close(fd);
        return false;
    }
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        close(fd);
        return false;
    }
    socket_ = fd;
    wakeup_ = wake;
    started_ = true;
    std::thread([this] { run(); }).detach();
    return true;
}

bool ReachabilityMonitor::add(const std::shared_ptr<NetworkReachability> &target) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!startLocked()) return false;
    targets_.erase(std::remove_if(targets_.begin(), targets_.end(), [](auto &t) { return t.expired(); }),
                   targets_.end());
    for (auto &t : targets_)
        if (t.lock() == target) return true;
    targets_.push_back(target);
    return true;
}

bool ReachabilityMonitor::remove(const NetworkReachability *target) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool found = false;
    targets_.erase(std::remove_if(targets_.begin(), targets_.end(),
                                  [&](auto &t) {
                                      auto locked = t.lock();
                                      bool match = !locked || locked.get() == target;
                                      if (locked && locked.get() == target) found = true;
                                      return match;
                                  }),
                   targets_.end());
    return found;
}

void ReachabilityMonitor::recompute() {
    std::vector<std::shared_ptr<NetworkReachability>> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &t : targets_)
            if (auto locked = t.lock()) targets.push_back(locked);
    }
    for (auto &target : targets) {
        Flags flags = 0;
        if (!target->getFlags(&flags)) flags = 0;
        std::weak_ptr<NetworkReachability> weak = target;
        dispatch::async(dispatch::mainQueue(), [weak, flags] {
            if (auto t = weak.lock()) t->deliver(flags);
        });
    }
}

void ReachabilityMonitor::run() {
    char buffer[16384];
    bool pending = false;
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeup_, POLLIN, 0}};
        int ready = poll(fds, 2, pending ? kDebounceMs : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            // The burst has been quiet for the debounce time.
            pending = false;
            recompute();
            continue;
        }
        if (fds[0].revents) {
            for (;;) {
                ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
                if (n > 0) {
                    pending = true;
                    continue;
                }
                if (n < 0 && errno == ENOBUFS) {
                    pending = true;  // messages were lost: recompute anyway
                    continue;
                }
                break;
            }
        }
        if (fds[1].revents) {
            uint64_t count;
            while (read(wakeup_, &count, sizeof count) > 0) {}
            pending = true;
        }
    }
}

}  // namespace platform::reachability
