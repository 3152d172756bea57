// Route and link lookups over NETLINK_ROUTE, as "ip route get" and
// "ip link show" make them.
#include "platform/reachability/RouteQuery.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::reachability {

namespace {

constexpr int kReplyTimeoutMs = 1000;

class NetlinkSocket {
public:
    NetlinkSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
    ~NetlinkSocket() {
        if (fd_ >= 0) close(fd_);
    }
    bool valid() const { return fd_ >= 0; }

    // Sends the request and answers the reply message with its sequence
    // number; absent when nothing came back.
    std::optional<std::vector<uint8_t>> ask(nlmsghdr *request) {
        request->nlmsg_seq = ++sequence_;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(fd_, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
            return std::nullopt;
        std::vector<uint8_t> buffer(16384);
        for (int attempts = 0; attempts < 16; ++attempts) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kReplyTimeoutMs) <= 0) return std::nullopt;
            ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            auto *header = reinterpret_cast<nlmsghdr *>(buffer.data());
            if (NLMSG_OK(header, static_cast<unsigned>(n)) && header->nlmsg_seq == request->nlmsg_seq)
                return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
        }
        return std::nullopt;
    }

private:
    int fd_;
    uint32_t sequence_ = 0;
};

}  // namespace

RouteQuery::Route RouteQuery::parseRouteReply(const std::vector<uint8_t> &bytes) {
    Route route;
    auto *header = reinterpret_cast<const nlmsghdr *>(bytes.data());
    unsigned length = static_cast<unsigned>(bytes.size());
    if (bytes.size() < sizeof(nlmsghdr) || !NLMSG_OK(header, length)) return route;
    if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
            auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
            route.error = error->error;
        }
        return route;
    }
    if (header->nlmsg_type != RTM_NEWROUTE || header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return route;
    auto *message = static_cast<const rtmsg *>(NLMSG_DATA(header));
    route.found = true;
    route.type = message->rtm_type;
    route.flags = message->rtm_flags;
    int attributesLength = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(rtmsg)));
    for (auto *attribute = RTM_RTA(message); RTA_OK(attribute, attributesLength);
         attribute = RTA_NEXT(attribute, attributesLength)) {
        if (attribute->rta_type == RTA_GATEWAY) route.hasGateway = true;
        if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
            int index;
            std::memcpy(&index, RTA_DATA(attribute), sizeof index);
            route.outputInterface = index;
        }
    }
    return route;
}

std::optional<unsigned> RouteQuery::parseLinkReply(const std::vector<uint8_t> &bytes) {
    auto *header = reinterpret_cast<const nlmsghdr *>(bytes.data());
    if (bytes.size() < sizeof(nlmsghdr) || !NLMSG_OK(header, static_cast<unsigned>(bytes.size()))) return std::nullopt;
    if (header->nlmsg_type != RTM_NEWLINK || header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return std::nullopt;
    return static_cast<const ifinfomsg *>(NLMSG_DATA(header))->ifi_flags;
}

Flags RouteQuery::flagsForRoute(const Route &route, std::optional<unsigned> linkFlags) {
    if (!route.found) return 0;
    switch (route.type) {
    case RTN_LOCAL: return kFlagsReachable | kFlagsIsLocalAddress | kFlagsIsDirect;
    case RTN_UNICAST: break;
    default: return 0;  // unreachable, prohibit, blackhole, ...
    }
    if (route.flags & RTNH_F_LINKDOWN) return 0;
    if (!linkFlags) return 0;
    bool usable = (*linkFlags & IFF_UP) && (*linkFlags & IFF_RUNNING);
    if (!usable) return 0;
    if (*linkFlags & IFF_LOOPBACK) return kFlagsReachable | kFlagsIsLocalAddress | kFlagsIsDirect;
    Flags flags = kFlagsReachable;
    if (!route.hasGateway) flags |= kFlagsIsDirect;
    return flags;
}

std::optional<Flags> RouteQuery::flagsForDestination(int family, const unsigned char *address) {
    NetlinkSocket socket;
    if (!socket.valid()) return std::nullopt;
    size_t addressLength = family == AF_INET6 ? 16 : 4;

    struct {
        nlmsghdr header;
        rtmsg message;
        char attributes[64];
    } routeRequest{};
    routeRequest.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    routeRequest.header.nlmsg_type = RTM_GETROUTE;
    routeRequest.header.nlmsg_flags = NLM_F_REQUEST;
    routeRequest.message.rtm_family = static_cast<unsigned char>(family);
    routeRequest.message.rtm_dst_len = static_cast<unsigned char>(addressLength * 8);
    auto *destination = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&routeRequest) +
                                                   NLMSG_ALIGN(routeRequest.header.nlmsg_len));
    destination->rta_type = RTA_DST;
    destination->rta_len = static_cast<unsigned short>(RTA_LENGTH(addressLength));
    std::memcpy(RTA_DATA(destination), address, addressLength);
    routeRequest.header.nlmsg_len = NLMSG_ALIGN(routeRequest.header.nlmsg_len) + RTA_ALIGN(destination->rta_len);

    auto reply = socket.ask(&routeRequest.header);
    if (!reply) return std::nullopt;
    Route route = parseRouteReply(*reply);
    if (!route.found) {
        // ENETUNREACH and its kin are an answer: not reachable.
        return route.error != 0 ? std::optional<Flags>(0) : std::nullopt;
    }
    std::optional<unsigned> linkFlags;
    if (route.type == RTN_UNICAST && route.outputInterface) {
        struct {
            nlmsghdr header;
            ifinfomsg message;
        } linkRequest{};
        linkRequest.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        linkRequest.header.nlmsg_type = RTM_GETLINK;
        linkRequest.header.nlmsg_flags = NLM_F_REQUEST;
        linkRequest.message.ifi_family = AF_UNSPEC;
        linkRequest.message.ifi_index = *route.outputInterface;
        if (auto linkReply = socket.ask(&linkRequest.header)) linkFlags = parseLinkReply(*linkReply);
    }
    return flagsForRoute(route, linkFlags);
}

}  // namespace platform::reachability
