// What the monitors conclude from a network state (path, primary address, tunnels), and the
// reading of rtnetlink answers, broken ones included.
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/net/NetlinkMessages.hpp"
#include "platform/net/NetworkSnapshot.hpp"

namespace platform {
namespace {

using Link = NetworkSnapshot::Link;
using Address = NetworkSnapshot::Address;
using Route = NetworkSnapshot::Route;

constexpr std::uint32_t kUp = IFF_UP | IFF_RUNNING;

// Indexes: 1 lo, 2 eth0, 3 wlan0, 4 eth1 (no carrier), 5 tun0, 6 wg0, 7 ppp0, 8 veth0, 9 tun1.
NetworkSnapshot machine() {
    NetworkSnapshot s;
    s.links = {
        {1, "lo", kUp | IFF_LOOPBACK, ARPHRD_LOOPBACK, "", IF_OPER_UNKNOWN},
        {2, "eth0", kUp, ARPHRD_ETHER, "", IF_OPER_UP},
        {3, "wlan0", kUp, ARPHRD_ETHER, "", IF_OPER_UP},
        {4, "eth1", IFF_UP, ARPHRD_ETHER, "", IF_OPER_DOWN},
        {5, "tun0", kUp, ARPHRD_NONE, "tun", IF_OPER_UNKNOWN},
        {6, "wg0", kUp, ARPHRD_NONE, "wireguard", IF_OPER_UNKNOWN},
        {7, "ppp0", kUp, ARPHRD_PPP, "", IF_OPER_UNKNOWN},
        {8, "veth0", kUp, ARPHRD_ETHER, "veth", IF_OPER_UP},
        {9, "tun1", kUp, ARPHRD_NONE, "tun", IF_OPER_UNKNOWN},
    };
    s.addresses = {
        {1, AF_INET, "127.0.0.1", RT_SCOPE_HOST},          {2, AF_INET, "192.168.1.20", RT_SCOPE_UNIVERSE},
        {2, AF_INET, "192.168.1.21", RT_SCOPE_UNIVERSE},   {2, AF_INET6, "fe80::2", RT_SCOPE_LINK},
        {3, AF_INET, "10.0.0.30", RT_SCOPE_UNIVERSE},      {3, AF_INET6, "2001:db8::30", RT_SCOPE_UNIVERSE},
        {4, AF_INET, "172.16.0.40", RT_SCOPE_UNIVERSE},    {8, AF_INET, "10.9.0.2", RT_SCOPE_UNIVERSE},
        {9, AF_INET6, "2001:db8:9::1", RT_SCOPE_UNIVERSE},
    };
    return s;
}

Route defaultRoute(int family, int index, std::uint32_t metric, std::uint32_t table = RT_TABLE_MAIN,
                   std::uint8_t type = RTN_UNICAST) {
    return Route{family, table, type, 0, metric, {index}};
}

struct PathCase {
    const char* name;
    std::vector<Route> routes;
    NWPath::Status status;
    std::vector<std::string> interfaces;
    std::optional<std::string> primary;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class SnapshotPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(SnapshotPathTest, DefaultRoutesDecide) {
    auto snapshot = machine();
    snapshot.routes = GetParam().routes;
    const NWPath path = snapshot.path();
    EXPECT_EQ(path.status, GetParam().status);
    EXPECT_EQ(path.interfaceNames, GetParam().interfaces);
    EXPECT_EQ(snapshot.primaryIPv4Address(), GetParam().primary);
}

constexpr auto sat = NWPath::Status::satisfied;
constexpr auto unsat = NWPath::Status::unsatisfied;

INSTANTIATE_TEST_SUITE_P(
    Routes, SnapshotPathTest,
    testing::ValuesIn(std::vector<PathCase>{
        {"NoRoutes", {}, unsat, {}, std::nullopt},
        {"Ethernet", {defaultRoute(AF_INET, 2, 100)}, sat, {"eth0"}, "192.168.1.20"},
        {"LowerMetricWins",
         {defaultRoute(AF_INET, 2, 100), defaultRoute(AF_INET, 3, 50)},
         sat,
         {"wlan0", "eth0"},
         "10.0.0.30"},
        {"EqualMetricLowerIndex",
         {defaultRoute(AF_INET, 3, 0), defaultRoute(AF_INET, 2, 0)},
         sat,
         {"eth0", "wlan0"},
         "192.168.1.20"},
        {"OtherTableOnly", {defaultRoute(AF_INET, 2, 0, 51820)}, unsat, {}, std::nullopt},
        {"Blackhole", {defaultRoute(AF_INET, 2, 0, RT_TABLE_MAIN, RTN_BLACKHOLE)}, unsat, {}, std::nullopt},
        {"NoCarrier", {defaultRoute(AF_INET, 4, 0)}, unsat, {}, std::nullopt},
        {"NoCarrierBesideWorking",
         {defaultRoute(AF_INET, 4, 0), defaultRoute(AF_INET, 3, 600)},
         sat,
         {"wlan0"},
         "10.0.0.30"},
        {"Loopback", {defaultRoute(AF_INET, 1, 0)}, unsat, {}, std::nullopt},
        {"UnknownInterface", {defaultRoute(AF_INET, 42, 0)}, unsat, {}, std::nullopt},
        {"IPv4RouteWithoutIPv4Address", {defaultRoute(AF_INET, 9, 0)}, unsat, {}, std::nullopt},
        {"IPv6LinkLocalOnly", {defaultRoute(AF_INET6, 2, 0)}, unsat, {}, std::nullopt},
        {"IPv6Global", {defaultRoute(AF_INET6, 3, 0)}, sat, {"wlan0"}, std::nullopt},
        {"Multipath",
         {Route{AF_INET, RT_TABLE_MAIN, RTN_UNICAST, 0, 10, {3, 2}}},
         sat,
         {"eth0", "wlan0"},
         "192.168.1.20"},
        {"SameInterfaceBothFamilies",
         {defaultRoute(AF_INET, 3, 5), defaultRoute(AF_INET6, 3, 1)},
         sat,
         {"wlan0"},
         "10.0.0.30"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// What makes two paths differ: only what the default routes lead through (interfaces, their
// types, gateways, families). Interfaces, addresses and routes elsewhere leave the path as it was.
struct ChangeCase {
    const char* name;
    std::function<void(NetworkSnapshot&)> change;
    bool differs;
};

void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.name; }

NetworkSnapshot connectedMachine() {
    auto s = machine();
    s.links[2].wireless = true;  // wlan0
    s.routes = {Route{AF_INET, RT_TABLE_MAIN, RTN_UNICAST, 0, 100, {2}, {"192.168.1.1"}}};
    return s;
}

class PathChangeTest : public testing::TestWithParam<ChangeCase> {};

TEST_P(PathChangeTest, OnlyTheDefaultPathCounts) {
    const NWPath before = connectedMachine().path();
    auto snapshot = connectedMachine();
    GetParam().change(snapshot);
    EXPECT_EQ(snapshot.path() != before, GetParam().differs);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, PathChangeTest,
    testing::ValuesIn(std::vector<ChangeCase>{
        {"Nothing", [](NetworkSnapshot&) {}, false},
        {"VethPairWithAddresses",
         [](NetworkSnapshot& s) {
             s.links.push_back({20, "veth9", kUp, ARPHRD_ETHER, "veth", IF_OPER_UP});
             s.links.push_back({21, "veth9p", kUp, ARPHRD_ETHER, "veth", IF_OPER_UP});
             s.addresses.push_back({20, AF_INET, "172.17.0.1", RT_SCOPE_UNIVERSE});
             s.addresses.push_back({20, AF_INET6, "fe80::9", RT_SCOPE_LINK});
         },
         false},
        {"DefaultRouteInAnotherTable",
         [](NetworkSnapshot& s) { s.routes.push_back(defaultRoute(AF_INET, 8, 0, 51820)); }, false},
        {"SecondAddressOnTheDefaultLink",
         [](NetworkSnapshot& s) {
             s.addresses.push_back({2, AF_INET, "192.168.1.99", RT_SCOPE_UNIVERSE});
         },
         false},
        {"OtherLinkLosesCarrier", [](NetworkSnapshot& s) { s.links[2].flags = IFF_UP; }, false},
        {"NewGateway", [](NetworkSnapshot& s) { s.routes[0].gateways = {"192.168.1.254"}; }, true},
        {"DefaultLinkDown", [](NetworkSnapshot& s) { s.links[1].flags = IFF_UP; }, true},
        {"SecondDefaultRoute", [](NetworkSnapshot& s) { s.routes.push_back(defaultRoute(AF_INET, 3, 600)); },
         true},
        {"IPv6Joins",
         [](NetworkSnapshot& s) {
             s.addresses.push_back({2, AF_INET6, "2001:db8::20", RT_SCOPE_UNIVERSE});
             s.routes.push_back(defaultRoute(AF_INET6, 2, 0));
         },
         true},
        {"SameNameNowWiFi", [](NetworkSnapshot& s) { s.links[1].wireless = true; }, true},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SnapshotPathTest, InterfacesCarryTheirTypesAndGatewaysTheirOrder) {
    auto s = machine();
    s.links[2].wireless = true;  // wlan0
    s.addresses.push_back({5, AF_INET, "10.8.0.2", RT_SCOPE_UNIVERSE});
    s.routes = {Route{AF_INET, RT_TABLE_MAIN, RTN_UNICAST, 0, 10, {3, 2}, {"10.0.0.1", "192.168.1.1"}},
                Route{AF_INET, RT_TABLE_MAIN, RTN_UNICAST, 0, 20, {5}, {""}},
                Route{AF_INET, RT_TABLE_MAIN, RTN_UNICAST, 0, 30, {2}, {"192.168.1.1"}}};
    const NWPath path = s.path();
    using Type = NWInterface::InterfaceType;
    EXPECT_EQ(path.availableInterfaces,
              (std::vector<NWInterface>{
                  {"eth0", Type::wiredEthernet}, {"wlan0", Type::wifi}, {"tun0", Type::other}}));
    EXPECT_EQ(path.gateways, (std::vector<std::string>{"192.168.1.1", "10.0.0.1"}));  // no repeats, no blanks
    EXPECT_FALSE(path.supportsDNS);  // not the kernel's to say
}

TEST(SnapshotTunnelTest, TunWireGuardAndPPPWithIPv4Only) {
    auto snapshot = machine();
    EXPECT_TRUE(snapshot.tunnelsWithIPv4().empty());  // tun1 has IPv6 only, veth0 is no tunnel
    snapshot.addresses.push_back({5, AF_INET, "10.8.0.2", RT_SCOPE_UNIVERSE});
    snapshot.addresses.push_back({6, AF_INET, "10.7.0.2", RT_SCOPE_UNIVERSE});
    snapshot.addresses.push_back({7, AF_INET, "10.6.0.2", RT_SCOPE_UNIVERSE});
    EXPECT_EQ(snapshot.tunnelsWithIPv4(), (std::vector<std::string>{"tun0", "wg0", "ppp0"}));
}

// --- reading rtnetlink answers ------------------------------------------------------------

// Builds netlink datagrams as the kernel lays them out (4-byte alignment everywhere).
class Datagram {
public:
    // Starts a message; `fixed` is its fixed header (ifinfomsg, ifaddrmsg, rtmsg, nlmsgerr).
    template <class T>
    Datagram& message(std::uint16_t type, const T& fixed, std::uint32_t sequence = 7,
                      std::uint16_t flags = NLM_F_MULTI) {
        start_ = bytes_.size();
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        header.nlmsg_seq = sequence;
        append(&header, sizeof(header));
        append(&fixed, sizeof(fixed));
        return finish();
    }
    Datagram& attribute(std::uint16_t type, const void* data, std::size_t size) {
        rtattr a{};
        a.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        a.rta_type = type;
        append(&a, sizeof(a));
        append(data, size);
        return finish();
    }
    Datagram& text(std::uint16_t type, const std::string& value, bool terminate = true) {
        return attribute(type, value.c_str(), value.size() + (terminate ? 1 : 0));
    }
    // Overwrites the length field of the current message (for broken messages).
    Datagram& messageLength(std::uint32_t length) {
        std::memcpy(bytes_.data() + start_, &length, sizeof(length));
        return *this;
    }
    // Overwrites a 16-bit value at `offset` from the end (an attribute's length, say).
    Datagram& patch16FromEnd(std::size_t offset, std::uint16_t value) {
        std::memcpy(bytes_.data() + bytes_.size() - offset, &value, sizeof(value));
        return *this;
    }
    Datagram& cut(std::size_t size) {
        bytes_.resize(size);
        return *this;
    }

    NetlinkBatch parse(NetworkSnapshot& snapshot, std::uint32_t sequence = 7) const {
        std::vector<std::uint32_t> aligned((bytes_.size() + 3) / 4);
        std::memcpy(aligned.data(), bytes_.data(), bytes_.size());
        return parseNetlinkMessages(aligned.data(), bytes_.size(), sequence, snapshot);
    }
    std::size_t size() const { return bytes_.size(); }

private:
    void append(const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
        while (bytes_.size() % 4) bytes_.push_back(0);
    }
    Datagram& finish() {
        const auto length = static_cast<std::uint32_t>(bytes_.size() - start_);
        std::memcpy(bytes_.data() + start_, &length, sizeof(length));
        return *this;
    }

    std::vector<std::uint8_t> bytes_;
    std::size_t start_ = 0;
};

ifinfomsg linkHeader(int index, unsigned flags = kUp, unsigned short type = ARPHRD_ETHER) {
    ifinfomsg i{};
    i.ifi_family = AF_UNSPEC;
    i.ifi_index = index;
    i.ifi_flags = flags;
    i.ifi_type = type;
    return i;
}

ifaddrmsg addressHeader(int index, unsigned char family = AF_INET) {
    ifaddrmsg a{};
    a.ifa_family = family;
    a.ifa_index = static_cast<unsigned>(index);
    a.ifa_prefixlen = 24;
    return a;
}

rtmsg routeHeader(unsigned char dstLength = 0) {
    rtmsg r{};
    r.rtm_family = AF_INET;
    r.rtm_dst_len = dstLength;
    r.rtm_table = RT_TABLE_MAIN;
    r.rtm_type = RTN_UNICAST;
    return r;
}

TEST(NetlinkMessagesTest, WellFormedDumpAnswers) {
    const unsigned char address[4] = {192, 0, 2, 10};
    const unsigned char peer[4] = {192, 0, 2, 1};
    const int oif = 2;
    const std::uint32_t metric = 20;
    Datagram d;
    d.message(RTM_NEWLINK, linkHeader(2)).text(IFLA_IFNAME, "eth0");
    d.message(RTM_NEWADDR, addressHeader(2)).attribute(IFA_ADDRESS, peer, 4).attribute(IFA_LOCAL, address, 4);
    d.message(RTM_NEWROUTE, routeHeader())
        .attribute(RTA_OIF, &oif, sizeof(oif))
        .attribute(RTA_PRIORITY, &metric, 4);
    d.message(RTM_NEWROUTE, routeHeader(24)).attribute(RTA_OIF, &oif, sizeof(oif));  // not a default
    d.message(RTM_NEWLINK, linkHeader(3), 99).text(IFLA_IFNAME, "other");            // another dump's
    NetworkSnapshot s;
    const auto batch = d.parse(s);
    EXPECT_FALSE(batch.finished);
    ASSERT_EQ(s.links.size(), 1u);
    EXPECT_EQ(s.links[0].name, "eth0");
    ASSERT_EQ(s.addresses.size(), 1u);
    EXPECT_EQ(s.addresses[0].text, "192.0.2.10");  // the local end, not the peer
    ASSERT_EQ(s.routes.size(), 1u);
    EXPECT_EQ(s.routes[0].metric, 20u);
    EXPECT_EQ(s.routes[0].outputIndexes, std::vector<int>{2});
    EXPECT_EQ(s.path().status, NWPath::Status::satisfied);

    Datagram done;
    done.message(NLMSG_DONE, 0, 7, NLM_F_MULTI | NLM_F_DUMP_INTR);
    const auto end = done.parse(s);
    EXPECT_TRUE(end.finished);
    EXPECT_TRUE(end.interrupted);
}

TEST(NetlinkMessagesTest, GatewaysOfSingleAndMultipathRoutes) {
    const unsigned char gateway[4] = {192, 0, 2, 1};
    const int oif = 2;
    // Two hops, each followed by its own attributes: a gateway, then a gateway too short to read.
    std::vector<std::uint8_t> hops;
    const auto hop = [&](int index, const void* value, std::size_t size) {
        rtnexthop header{};
        header.rtnh_len = static_cast<unsigned short>(sizeof(rtnexthop) + RTA_LENGTH(size));
        header.rtnh_ifindex = index;
        rtattr attribute{};
        attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        attribute.rta_type = RTA_GATEWAY;
        const auto* h = reinterpret_cast<const std::uint8_t*>(&header);
        const auto* a = reinterpret_cast<const std::uint8_t*>(&attribute);
        hops.insert(hops.end(), h, h + sizeof(header));
        hops.insert(hops.end(), a, a + sizeof(attribute));
        const auto* v = static_cast<const std::uint8_t*>(value);
        hops.insert(hops.end(), v, v + size);
        while (hops.size() % 4) hops.push_back(0);
    };
    const unsigned char other[4] = {192, 0, 2, 9};
    hop(3, other, 4);
    hop(4, other, 2);
    Datagram d;
    d.message(RTM_NEWROUTE, routeHeader())
        .attribute(RTA_OIF, &oif, sizeof(oif))
        .attribute(RTA_GATEWAY, gateway, 4);
    d.message(RTM_NEWROUTE, routeHeader()).attribute(RTA_MULTIPATH, hops.data(), hops.size());
    d.message(RTM_NEWROUTE, routeHeader()).attribute(RTA_OIF, &oif, sizeof(oif));
    NetworkSnapshot s;
    d.parse(s);
    ASSERT_EQ(s.routes.size(), 3u);
    EXPECT_EQ(s.routes[0].gateways, std::vector<std::string>{"192.0.2.1"});
    EXPECT_EQ(s.routes[1].outputIndexes, (std::vector<int>{3, 4}));
    EXPECT_EQ(s.routes[1].gateways, (std::vector<std::string>{"192.0.2.9", ""}));
    EXPECT_EQ(s.routes[2].gateways, std::vector<std::string>{""});
}

struct BrokenCase {
    const char* name;
    std::function<Datagram()> make;
    std::size_t links, addresses, routes;
    std::function<void(const NetworkSnapshot&)> check;
};

void PrintTo(const BrokenCase& c, std::ostream* out) { *out << c.name; }

class NetlinkBrokenTest : public testing::TestWithParam<BrokenCase> {};

TEST_P(NetlinkBrokenTest, ReadsOnlyWhatIsThere) {
    NetworkSnapshot s;
    GetParam().make().parse(s);
    EXPECT_EQ(s.links.size(), GetParam().links);
    EXPECT_EQ(s.addresses.size(), GetParam().addresses);
    EXPECT_EQ(s.routes.size(), GetParam().routes);
    if (GetParam().check) GetParam().check(s);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, NetlinkBrokenTest,
    testing::ValuesIn(std::vector<BrokenCase>{
        {"LinkShorterThanItsHeader",
         [] {
             Datagram d;
             d.message(RTM_NEWLINK, linkHeader(2)).messageLength(NLMSG_LENGTH(4));
             return d;
         },
         0, 0, 0, nullptr},
        {"LengthPastTheDatagram",
         [] {
             Datagram d;
             d.message(RTM_NEWLINK, linkHeader(2)).text(IFLA_IFNAME, "eth0").messageLength(4096);
             return d;
         },
         0, 0, 0, nullptr},
        {"NameWithoutTerminator",
         [] {
             Datagram d;
             d.message(RTM_NEWLINK, linkHeader(2)).text(IFLA_IFNAME, "eth0", false);
             return d;
         },
         1, 0, 0, [](const NetworkSnapshot& s) { EXPECT_EQ(s.links[0].name, "eth0"); }},
        {"AttributeLongerThanMessage",
         [] {
             Datagram d;
             d.message(RTM_NEWLINK, linkHeader(2)).text(IFLA_IFNAME, "eth0").patch16FromEnd(12, 200);
             return d;
         },
         1, 0, 0, [](const NetworkSnapshot& s) { EXPECT_EQ(s.links[0].name, ""); }},
        {"ShortAddressValue",
         [] {
             const unsigned char two[2] = {10, 0};
             Datagram d;
             d.message(RTM_NEWADDR, addressHeader(2)).attribute(IFA_LOCAL, two, 2);
             return d;
         },
         0, 0, 0, nullptr},
        {"ShortOutputIndex",
         [] {
             const std::uint16_t half = 2;
             Datagram d;
             d.message(RTM_NEWROUTE, routeHeader()).attribute(RTA_OIF, &half, sizeof(half));
             return d;
         },
         0, 0, 1, [](const NetworkSnapshot& s) { EXPECT_TRUE(s.routes[0].outputIndexes.empty()); }},
        {"MultipathHopOfLengthZero",
         [] {
             rtnexthop hops[2]{};
             hops[0].rtnh_len = sizeof(rtnexthop);
             hops[0].rtnh_ifindex = 3;
             hops[1].rtnh_len = 0;  // would never advance
             hops[1].rtnh_ifindex = 4;
             Datagram d;
             d.message(RTM_NEWROUTE, routeHeader()).attribute(RTA_MULTIPATH, hops, sizeof(hops));
             return d;
         },
         0, 0, 1,
         [](const NetworkSnapshot& s) { EXPECT_EQ(s.routes[0].outputIndexes, std::vector<int>{3}); }},
        {"MultipathHopPastItsAttribute",
         [] {
             rtnexthop hop{};
             hop.rtnh_len = 64;
             hop.rtnh_ifindex = 3;
             Datagram d;
             d.message(RTM_NEWROUTE, routeHeader()).attribute(RTA_MULTIPATH, &hop, sizeof(hop));
             return d;
         },
         0, 0, 1, [](const NetworkSnapshot& s) { EXPECT_TRUE(s.routes[0].outputIndexes.empty()); }},
        {"CutInTheMiddleOfTheSecondMessage",
         [] {
             Datagram d;
             d.message(RTM_NEWLINK, linkHeader(2)).text(IFLA_IFNAME, "eth0");
             const auto first = d.size();
             d.message(RTM_NEWLINK, linkHeader(3)).text(IFLA_IFNAME, "wlan0");
             d.cut(first + 10);
             return d;
         },
         1, 0, 0, nullptr},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NetlinkMessagesTest, ErrorAnswersEndTheDump) {
    nlmsgerr busy{};
    busy.error = -EBUSY;
    Datagram d;
    d.message(NLMSG_ERROR, busy);
    NetworkSnapshot s;
    auto batch = d.parse(s);
    EXPECT_TRUE(batch.finished);
    EXPECT_EQ(batch.error, EBUSY);

    Datagram shortError;
    shortError.message(NLMSG_ERROR, std::uint32_t{0});  // no room for the error record
    batch = shortError.parse(s);
    EXPECT_TRUE(batch.finished);
    EXPECT_EQ(batch.error, EPROTO);
}

}  // namespace
}  // namespace platform
