#pragma once
// The kernel's routing answer for one destination, read over NETLINK_ROUTE
// ("ip route get" and "ip link show"), turned into reachability flags.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/reachability/NetworkReachability.h"

namespace platform::reachability {

class RouteQuery {
public:
    // The flags for the destination (family AF_INET or AF_INET6, address of 4
    // or 16 bytes); absent when netlink cannot be used.
    static std::optional<Flags> flagsForDestination(int family, const unsigned char *address);

    // The route reply's facts, parsed from one netlink message (tests feed
    // captured bytes).
    struct Route {
        bool found = false;      // an RTM_NEWROUTE answer
        int error = 0;           // a negative errno answer (ENETUNREACH ...)
        unsigned char type = 0;  // rtm_type
        unsigned flags = 0;      // rtm_flags
        bool hasGateway = false;
        std::optional<int> outputInterface;
    };
    static Route parseRouteReply(const std::vector<uint8_t> &bytes);
    // The link flags (IFF_*) of one RTM_NEWLINK reply; absent when it is none.
    static std::optional<unsigned> parseLinkReply(const std::vector<uint8_t> &bytes);
    // Flags from a route and the flags of its output link (absent: unknown).
    static Flags flagsForRoute(const Route &route, std::optional<unsigned> linkFlags);
};

}  // namespace platform::reachability
