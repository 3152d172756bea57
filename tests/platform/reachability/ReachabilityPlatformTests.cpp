// Reachability from the kernel's routing answer: the parser, the monitor
// through its test seam, a live network namespace, and the host's own route.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>

#include "platform/dispatch/MainRunLoop.h"
#include "platform/reachability/NetworkReachability.h"
#include "platform/reachability/RouteQuery.h"
#include "support/TestSupport.h"

using namespace platform::reachability;
using platform::dispatch::MainRunLoop;

namespace {

constexpr double kPatience = 10.0;

// One netlink message of the type with its payload and attributes.
std::vector<uint8_t> message(uint16_t type, const void *payload, size_t payloadLength,
                             const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> &attributes = {}) {
    std::vector<uint8_t> bytes(NLMSG_LENGTH(payloadLength));
    std::memcpy(bytes.data() + NLMSG_HDRLEN, payload, payloadLength);
    for (const auto &[kind, data] : attributes) {
        size_t offset = NLMSG_ALIGN(bytes.size());
        bytes.resize(offset + RTA_ALIGN(RTA_LENGTH(data.size())));
        auto *attribute = reinterpret_cast<rtattr *>(bytes.data() + offset);
        attribute->rta_type = kind;
        attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(data.size()));
        std::memcpy(RTA_DATA(attribute), data.data(), data.size());
    }
    auto *header = reinterpret_cast<nlmsghdr *>(bytes.data());
    header->nlmsg_len = static_cast<uint32_t>(bytes.size());
    header->nlmsg_type = type;
    return bytes;
}

std::vector<uint8_t> bytesOf(int value) {
    std::vector<uint8_t> b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

std::shared_ptr<NetworkReachability> internet() {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    return NetworkReachability::createWithAddress(reinterpret_cast<sockaddr *>(&any));
}

int runChild(const std::string &testName) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = 0;
    int status = 0;
    testsupport::runCommand("PLOTWICK_REACHABILITY_CHILD=1 timeout 60 '" + std::string(self) + "' --gtest_filter='" +
                                testName + "' >/dev/null 2>&1",
                            &status);
    return status;
}

}  // namespace

TEST(ReachabilityPlatformTests, RouteRepliesBecomeFlags) {
    rtmsg route{};
    route.rtm_family = AF_INET;
    route.rtm_type = RTN_UNICAST;
    auto viaGateway = RouteQuery::parseRouteReply(
        message(RTM_NEWROUTE, &route, sizeof route, {{RTA_OIF, bytesOf(2)}, {RTA_GATEWAY, {10, 0, 0, 1}}}));
    EXPECT_TRUE(viaGateway.found);
    EXPECT_TRUE(viaGateway.hasGateway);
    EXPECT_EQ(viaGateway.outputInterface, 2);
    const unsigned up = IFF_UP | IFF_RUNNING;
    EXPECT_EQ(RouteQuery::flagsForRoute(viaGateway, up), kFlagsReachable);
    EXPECT_EQ(RouteQuery::flagsForRoute(viaGateway, IFF_UP), 0u);  // no carrier
    EXPECT_EQ(RouteQuery::flagsForRoute(viaGateway, std::nullopt), 0u);

    auto direct = RouteQuery::parseRouteReply(message(RTM_NEWROUTE, &route, sizeof route, {{RTA_OIF, bytesOf(3)}}));
    EXPECT_EQ(RouteQuery::flagsForRoute(direct, up), kFlagsReachable | kFlagsIsDirect);
    route.rtm_flags = RTNH_F_LINKDOWN;
    auto linkDown = RouteQuery::parseRouteReply(message(RTM_NEWROUTE, &route, sizeof route, {{RTA_OIF, bytesOf(3)}}));
    EXPECT_EQ(RouteQuery::flagsForRoute(linkDown, up), 0u);

    route.rtm_flags = 0;
    for (unsigned char type : {RTN_UNREACHABLE, RTN_PROHIBIT, RTN_BLACKHOLE}) {
        route.rtm_type = type;
        EXPECT_EQ(
            RouteQuery::flagsForRoute(RouteQuery::parseRouteReply(message(RTM_NEWROUTE, &route, sizeof route)), up),
            0u);
    }
    route.rtm_type = RTN_LOCAL;
    EXPECT_EQ(RouteQuery::flagsForRoute(RouteQuery::parseRouteReply(message(RTM_NEWROUTE, &route, sizeof route)), 0),
              kFlagsReachable | kFlagsIsLocalAddress | kFlagsIsDirect);

    nlmsgerr error{};
    error.error = -ENETUNREACH;
    auto unreachable = RouteQuery::parseRouteReply(message(NLMSG_ERROR, &error, sizeof error));
    EXPECT_FALSE(unreachable.found);
    EXPECT_EQ(unreachable.error, -ENETUNREACH);
    EXPECT_FALSE(RouteQuery::parseRouteReply({1, 2, 3}).found);

    ifinfomsg link{};
    link.ifi_flags = IFF_UP | IFF_LOOPBACK;
    EXPECT_EQ(RouteQuery::parseLinkReply(message(RTM_NEWLINK, &link, sizeof link)), IFF_UP | IFF_LOOPBACK);
    EXPECT_FALSE(RouteQuery::parseLinkReply(message(RTM_NEWROUTE, &route, sizeof route)));
}

TEST(ReachabilityPlatformTests, TargetsOnlyForInternetAddresses) {
    sockaddr unix{};
    unix.sa_family = AF_UNIX;
    EXPECT_FALSE(NetworkReachability::createWithAddress(&unix));
    EXPECT_FALSE(NetworkReachability::createWithName(""));
    EXPECT_TRUE(internet()->isInternetTarget());
    auto literal = NetworkReachability::createWithName("127.0.0.1");
    ASSERT_TRUE(literal);
    EXPECT_FALSE(literal->isInternetTarget());
    EXPECT_TRUE(NetworkReachability::createWithName("plotwick.example")->isInternetTarget());
    Flags flags = 0;
    ASSERT_TRUE(NetworkReachability::createWithName("::1")->getFlags(&flags));
    EXPECT_TRUE(flags & kFlagsReachable);
}

TEST(ReachabilityPlatformTests, ChangesAreDeliveredOnceOnTheMainThread) {
    std::atomic<Flags> current{0};
    NetworkReachability::setFlagsProviderForTesting(
        [&](const NetworkReachability &) { return std::optional(current.load()); });
    auto target = internet();
    std::vector<Flags> seen;
    bool onMain = true;
    target->setCallback([&](Flags flags) {
        onMain = onMain && MainRunLoop::isMainThread();
        seen.push_back(flags);
    });
    ASSERT_TRUE(target->scheduleWithMainRunLoop());

    current = kFlagsReachable;
    NetworkReachability::simulateNetworkChangeForTesting();
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return seen.size() == 1; }, kPatience));
    NetworkReachability::simulateNetworkChangeForTesting();  // nothing changed
    MainRunLoop::runPending();
    current = 0;
    NetworkReachability::simulateNetworkChangeForTesting();
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return seen.size() == 2; }, kPatience));
    EXPECT_EQ(seen, (std::vector<Flags>{kFlagsReachable, 0}));
    EXPECT_TRUE(onMain);

    ASSERT_TRUE(target->unscheduleFromMainRunLoop());
    current = kFlagsReachable;
    NetworkReachability::simulateNetworkChangeForTesting();
    MainRunLoop::runPending();
    EXPECT_EQ(seen.size(), 2u);
    NetworkReachability::setFlagsProviderForTesting(nullptr);
}

TEST(ReachabilityPlatformTests, HostRouteAgreesWithIpRouteGet) {
    int exitCode = 0;
    std::string route = testsupport::runCommand("ip route get 1.1.1.1 2>/dev/null", &exitCode);
    if (testsupport::runCommand("command -v ip").empty()) GTEST_SKIP() << "no ip command";
    Flags flags = 0;
    ASSERT_TRUE(internet()->getFlags(&flags));
    if (exitCode != 0 || route.find("unreachable") != std::string::npos) {
        EXPECT_EQ(flags & kFlagsReachable, 0u);
        return;
    }
    auto dev = route.find(" dev ");
    ASSERT_NE(dev, std::string::npos);
    std::string name = route.substr(dev + 5, route.find(' ', dev + 5) - dev - 5);
    std::string link = testsupport::runCommand("ip link show dev " + name);
    bool carrier = name != "lo" && link.find("LOWER_UP") != std::string::npos;
    EXPECT_EQ((flags & kFlagsReachable) != 0, carrier) << route << link;
}

TEST(ReachabilityPlatformTests, LiveNamespaceFollowsLinksAndRoutes) {
    int status = runChild("ReachabilityPlatformChild.InANewNetworkNamespace");
    if (status == 77) GTEST_SKIP() << "user or network namespaces, or veth links, are not available";
    EXPECT_EQ(status, 0);
}

TEST(ReachabilityPlatformChild, InANewNetworkNamespace) {
    if (!std::getenv("PLOTWICK_REACHABILITY_CHILD")) GTEST_SKIP() << "runs in a child process";
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) exit(77);
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    MainRunLoop::adoptCurrentThreadAsMain();

    auto target = internet();
    Flags flags = 1;
    if (!target->getFlags(&flags) || flags != 0) exit(2);
    std::vector<Flags> seen;
    target->setCallback([&](Flags f) { seen.push_back(f); });
    if (!target->scheduleWithMainRunLoop()) exit(3);

    int rc = 0;
    testsupport::runCommand("ip link add v0 type veth peer name v1 2>&1", &rc);
    if (rc != 0) exit(77);
    testsupport::runCommand(
        "ip addr add 10.1.0.1/24 dev v0 && ip link set v0 up && ip link set v1 up && "
        "ip route add default via 10.1.0.2",
        &rc);
    if (rc != 0) exit(4);
    if (!MainRunLoop::runUntil([&] { return !seen.empty() && seen.back() != 0; }, kPatience)) exit(5);
    if (!(seen.back() & kFlagsReachable) || (seen.back() & kFlagsIsDirect)) exit(6);

    testsupport::runCommand("ip link set v1 down", &rc);  // v0 loses its carrier
    if (!MainRunLoop::runUntil([&] { return seen.back() == 0; }, kPatience)) exit(7);
    testsupport::runCommand("ip route del default", &rc);
    if (!target->getFlags(&flags) || flags != 0) exit(8);
    exit(0);
}
