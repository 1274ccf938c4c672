#pragma once
// One reading of the kernel's network state over rtnetlink: links, addresses and routes, dumped
// on a socket of its own. The pieces that the path monitor, the VPN monitor and the primary
// address rule need are computed from it. A value; any thread; the dump blocks only on the
// kernel (no peer is involved).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/NWPathMonitor.hpp"

namespace platform {

struct NetworkSnapshot {
    struct Link {
        int index = 0;
        std::string name;
        std::uint32_t flags = 0;     // IFF_*
        std::uint16_t type = 0;      // ARPHRD_*
        std::string kind;            // IFLA_INFO_KIND ("tun", "wireguard", "veth"...), or ""
        std::uint8_t operState = 0;  // IF_OPER_*
        bool wireless = false;       // a Wi-Fi device (sysfs), filled in by read()
    };
    struct Address {
        int index = 0;
        int family = 0;          // AF_INET / AF_INET6
        std::string text;        // numeric
        std::uint8_t scope = 0;  // RT_SCOPE_*
    };
    struct Route {
        int family = 0;
        std::uint32_t table = 0;
        std::uint8_t type = 0;  // RTN_*
        std::uint8_t prefixLength = 0;
        std::uint32_t metric = 0;                // RTA_PRIORITY
        std::vector<int> outputIndexes;          // RTA_OIF, or every hop of RTA_MULTIPATH
        std::vector<std::string> gateways = {};  // RTA_GATEWAY of each hop, numeric ("" for none)
    };

    std::vector<Link> links;
    std::vector<Address> addresses;  // kernel order: an interface's primary address first
    std::vector<Route> routes;

    // Reads the state; nothing when netlink cannot be used (errno tells why).
    static std::optional<NetworkSnapshot> read();

    const Link* link(int index) const;
    // The path: satisfied when a usable default route exists (NWPathMonitor.hpp). DNS support is
    // not part of the kernel's state: supportsDNS stays false here.
    NWPath path() const;
    // The first IPv4 address of the interface holding the main table's IPv4 default route of
    // lowest metric (ties: lowest interface index); only interfaces that are up count.
    std::optional<std::string> primaryIPv4Address() const;
    // Tunnel interfaces (tun, WireGuard, PPP: by link kind or hardware type) holding an IPv4
    // address.
    std::vector<std::string> tunnelsWithIPv4() const;
};

// The primary IPv4 address as now; nothing when netlink cannot be read or none qualifies.
std::optional<std::string> primaryIPv4Address();

}  // namespace platform
