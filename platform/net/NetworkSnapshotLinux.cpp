// Reading the kernel's network state with rtnetlink dumps (links, then addresses, then default
// routes), each message checked for length before any field of it is read.
#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "platform/FileDescriptor.hpp"
#include "platform/net/NetlinkMessages.hpp"
#include "platform/net/NetworkSnapshot.hpp"

namespace platform {
namespace {

constexpr int kDumpAttempts = 4;  // a dump interrupted by a change is read again

// A copy of the fixed header that follows the netlink header, or nothing when the message is
// too short to hold it.
template <class T>
bool payloadHeader(const nlmsghdr* message, T& out) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(T))) return false;
    std::memcpy(&out, NLMSG_DATA(message), sizeof(T));
    return true;
}

template <class T>
bool attributeValue(const rtattr* attribute, T& out) {
    if (RTA_PAYLOAD(attribute) < sizeof(T)) return false;
    std::memcpy(&out, RTA_DATA(attribute), sizeof(T));
    return true;
}

std::string attributeText(const rtattr* attribute) {
    const auto* data = static_cast<const char*>(RTA_DATA(attribute));
    const std::size_t length = RTA_PAYLOAD(attribute);
    return std::string(data, strnlen(data, length));
}

std::string addressText(int family, const rtattr* attribute) {
    const std::size_t need = family == AF_INET ? 4 : 16;
    if (RTA_PAYLOAD(attribute) < need) return {};
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (!::inet_ntop(family, RTA_DATA(attribute), text.data(), text.size())) return {};
    return text.data();
}

void parseLink(const nlmsghdr* message, NetworkSnapshot& snapshot) {
    ifinfomsg info{};
    if (!payloadHeader(message, info)) return;
    NetworkSnapshot::Link link;
    link.index = info.ifi_index;
    link.flags = info.ifi_flags;
    link.type = info.ifi_type;
    int length = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(info)));
    for (auto* a = IFLA_RTA(NLMSG_DATA(message)); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        switch (a->rta_type) {
            case IFLA_IFNAME:
                link.name = attributeText(a);
                break;
            case IFLA_OPERSTATE:
                attributeValue(a, link.operState);
                break;
            case IFLA_LINKINFO: {
                int inner = static_cast<int>(RTA_PAYLOAD(a));
                for (auto* i = static_cast<rtattr*>(RTA_DATA(a)); RTA_OK(i, inner); i = RTA_NEXT(i, inner)) {
                    if (i->rta_type == IFLA_INFO_KIND) link.kind = attributeText(i);
                }
                break;
            }
            default:
                break;
        }
    }
    snapshot.links.push_back(std::move(link));
}

void parseAddress(const nlmsghdr* message, NetworkSnapshot& snapshot) {
    ifaddrmsg info{};
    if (!payloadHeader(message, info)) return;
    if (info.ifa_family != AF_INET && info.ifa_family != AF_INET6) return;
    std::uint32_t flags = info.ifa_flags;
    std::string local, address;
    int length = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(info)));
    for (auto* a = IFA_RTA(NLMSG_DATA(message)); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if (a->rta_type == IFA_LOCAL) local = addressText(info.ifa_family, a);
        if (a->rta_type == IFA_ADDRESS) address = addressText(info.ifa_family, a);
        if (a->rta_type == IFA_FLAGS) attributeValue(a, flags);
    }
    // An address still being checked for duplicates, or found duplicate, cannot be used.
    if (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) return;
    // On a point-to-point link IFA_ADDRESS is the peer; IFA_LOCAL is ours.
    std::string text = !local.empty() ? local : address;
    if (text.empty()) return;
    snapshot.addresses.push_back(
        {static_cast<int>(info.ifa_index), info.ifa_family, std::move(text), info.ifa_scope});
}

// The RTA_GATEWAY among a next hop's attributes, or "".
std::string hopGateway(int family, const unsigned char* attributes, std::size_t size) {
    if (size == 0) return {};  // a hop with no attributes names no gateway
    int length = static_cast<int>(std::min<std::size_t>(size, INT32_MAX));
    // Copied into aligned storage: a hop's attributes sit at 4-byte offsets of the message.
    std::vector<std::uint32_t> aligned((size + 3) / 4);
    std::memcpy(aligned.data(), attributes, size);
    for (auto* a = reinterpret_cast<const rtattr*>(aligned.data()); RTA_OK(a, length);
         a = RTA_NEXT(a, length)) {
        if (a->rta_type == RTA_GATEWAY) return addressText(family, a);
    }
    return {};
}

void parseRoute(const nlmsghdr* message, NetworkSnapshot& snapshot) {
    rtmsg info{};
    if (!payloadHeader(message, info)) return;
    if (info.rtm_dst_len != 0) return;  // only default routes matter here
    NetworkSnapshot::Route route;
    std::string gateway;
    route.family = info.rtm_family;
    route.table = info.rtm_table;
    route.type = info.rtm_type;
    route.prefixLength = info.rtm_dst_len;
    int length = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(info)));
    for (auto* a = RTM_RTA(NLMSG_DATA(message)); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        switch (a->rta_type) {
            case RTA_TABLE:
                attributeValue(a, route.table);
                break;
            case RTA_PRIORITY:
                attributeValue(a, route.metric);
                break;
            case RTA_OIF: {
                int index = 0;
                if (attributeValue(a, index)) route.outputIndexes.push_back(index);
                break;
            }
            case RTA_GATEWAY:
                gateway = addressText(info.rtm_family, a);
                break;
            case RTA_MULTIPATH: {
                const auto* bytes = static_cast<const unsigned char*>(RTA_DATA(a));
                std::size_t left = RTA_PAYLOAD(a);
                while (left >= sizeof(rtnexthop)) {
                    rtnexthop hop{};
                    std::memcpy(&hop, bytes, sizeof(hop));
                    if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > left) break;
                    route.outputIndexes.push_back(hop.rtnh_ifindex);
                    route.gateways.push_back(hopGateway(info.rtm_family, bytes + sizeof(rtnexthop),
                                                        hop.rtnh_len - sizeof(rtnexthop)));
                    const std::size_t step = std::min<std::size_t>(RTNH_ALIGN(hop.rtnh_len), left);
                    bytes += step;
                    left -= step;
                }
                break;
            }
            default:
                break;
        }
    }
    // One gateway per hop: a single-path route's own, or one per multipath hop.
    route.gateways.resize(route.outputIndexes.size(), gateway);
    snapshot.routes.push_back(std::move(route));
}

enum class DumpResult { done, interrupted, failed };

DumpResult dump(int fd, std::uint16_t type, std::uint32_t sequence, NetworkSnapshot& snapshot) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.rtgen_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    while (::sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof(kernel)) < 0) {
        if (errno != EINTR) return DumpResult::failed;
    }

    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // aligned for nlmsghdr
    bool interrupted = false;
    for (;;) {
        sockaddr_nl sender{};
        socklen_t senderLength = sizeof(sender);
        const ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size() * sizeof(std::uint64_t), 0,
                                            reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 0) {
            if (errno == EINTR) continue;
            return DumpResult::failed;
        }
        if (sender.nl_pid != 0) continue;  // only the kernel answers dumps
        const auto batch =
            parseNetlinkMessages(buffer.data(), static_cast<std::size_t>(received), sequence, snapshot);
        interrupted = interrupted || batch.interrupted;
        if (batch.error != 0) {
            errno = batch.error;
            return DumpResult::failed;
        }
        if (batch.finished) return interrupted ? DumpResult::interrupted : DumpResult::done;
    }
}

bool isUp(const NetworkSnapshot::Link& link) {
    return (link.flags & IFF_UP) && (link.flags & IFF_RUNNING) && !(link.flags & IFF_LOOPBACK);
}

bool hasUsableAddress(const NetworkSnapshot& snapshot, int index, int family) {
    return std::any_of(snapshot.addresses.begin(), snapshot.addresses.end(), [&](const auto& a) {
        return a.index == index && a.family == family && (family == AF_INET || a.scope == RT_SCOPE_UNIVERSE);
    });
}

struct Candidate {
    std::uint32_t metric;
    int index;
    int family;
    std::string gateway;
    bool operator<(const Candidate& o) const { return std::tie(metric, index) < std::tie(o.metric, o.index); }
};

// Default routes of the main table that leave through a usable interface, best first.
std::vector<Candidate> usableDefaults(const NetworkSnapshot& snapshot) {
    std::vector<Candidate> found;
    for (const auto& route : snapshot.routes) {
        if (route.prefixLength != 0 || route.table != RT_TABLE_MAIN || route.type != RTN_UNICAST) continue;
        for (std::size_t hop = 0; hop < route.outputIndexes.size(); ++hop) {
            const int index = route.outputIndexes[hop];
            const auto* link = snapshot.link(index);
            if (link && isUp(*link) && hasUsableAddress(snapshot, index, route.family)) {
                found.push_back({route.metric, index, route.family,
                                 hop < route.gateways.size() ? route.gateways[hop] : std::string()});
            }
        }
    }
    std::stable_sort(found.begin(), found.end());
    return found;
}

// A Wi-Fi device has a "wireless" (or "phy80211") entry in sysfs; a name that could leave the
// folder is none.
bool isWireless(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
    const std::filesystem::path device = std::filesystem::path("/sys/class/net") / name;
    std::error_code error;
    return std::filesystem::exists(device / "wireless", error) ||
           std::filesystem::exists(device / "phy80211", error);
}

}  // namespace

NetlinkBatch parseNetlinkMessages(const void* bytes, std::size_t size, std::uint32_t sequence,
                                  NetworkSnapshot& snapshot) {
    NetlinkBatch batch;
    int length = static_cast<int>(std::min<std::size_t>(size, INT32_MAX));
    // The kernel's NLMSG_OK compares its unsigned length with the int it is given, as netlink(3) says.
    // NOLINTNEXTLINE(clang-diagnostic-sign-compare)
    for (auto* m = static_cast<const nlmsghdr*>(bytes); NLMSG_OK(m, length); m = NLMSG_NEXT(m, length)) {
        if (m->nlmsg_seq != sequence) continue;
        if (m->nlmsg_flags & NLM_F_DUMP_INTR) batch.interrupted = true;
        if (m->nlmsg_type == NLMSG_DONE) {
            batch.finished = true;
            return batch;
        }
        if (m->nlmsg_type == NLMSG_ERROR) {
            nlmsgerr error{};
            batch.finished = true;
            batch.error = payloadHeader(m, error) && error.error < 0 ? -error.error : EPROTO;
            return batch;
        }
        if (m->nlmsg_type == RTM_NEWLINK) parseLink(m, snapshot);
        if (m->nlmsg_type == RTM_NEWADDR) parseAddress(m, snapshot);
        if (m->nlmsg_type == RTM_NEWROUTE) parseRoute(m, snapshot);
    }
    return batch;
}

std::optional<NetworkSnapshot> NetworkSnapshot::read() {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return std::nullopt;
    constexpr std::array<std::uint16_t, 3> kinds{RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE};
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        NetworkSnapshot snapshot;
        bool again = false;
        std::uint32_t sequence = 1;
        for (auto kind : kinds) {
            const DumpResult result = dump(fd.get(), kind, sequence++, snapshot);
            if (result == DumpResult::failed) return std::nullopt;
            if (result == DumpResult::interrupted) again = true;
        }
        if (!again || attempt + 1 == kDumpAttempts) {
            for (auto& link : snapshot.links) link.wireless = isWireless(link.name);
            return snapshot;
        }
    }
    return std::nullopt;
}

const NetworkSnapshot::Link* NetworkSnapshot::link(int index) const {
    for (const auto& l : links) {
        if (l.index == index) return &l;
    }
    return nullptr;
}

namespace {

NWInterface::InterfaceType interfaceType(const NetworkSnapshot::Link& link) {
    using Type = NWInterface::InterfaceType;
    if (link.flags & IFF_LOOPBACK) return Type::loopback;
    if (link.wireless) return Type::wifi;
    // Ethernet framing without a virtual device's kind (veth and bridges count as wired: a
    // container or virtual machine reached over them is a wired network to us).
    if (link.type == ARPHRD_ETHER && link.kind != "tun" && link.kind != "wireguard")
        return Type::wiredEthernet;
    return Type::other;
}

}  // namespace

NWPath NetworkSnapshot::path() const {
    NWPath path;
    for (const auto& candidate : usableDefaults(*this)) {
        const auto* found = link(candidate.index);
        const auto& name = found->name;
        if (std::find(path.interfaceNames.begin(), path.interfaceNames.end(), name) ==
            path.interfaceNames.end()) {
            path.interfaceNames.push_back(name);
            path.availableInterfaces.push_back({name, interfaceType(*found)});
        }
        if (!candidate.gateway.empty() &&
            std::find(path.gateways.begin(), path.gateways.end(), candidate.gateway) == path.gateways.end()) {
            path.gateways.push_back(candidate.gateway);
        }
        (candidate.family == AF_INET ? path.supportsIPv4 : path.supportsIPv6) = true;
    }
    path.status = path.interfaceNames.empty() ? NWPath::Status::unsatisfied : NWPath::Status::satisfied;
    return path;
}

std::optional<std::string> NetworkSnapshot::primaryIPv4Address() const {
    for (const auto& candidate : usableDefaults(*this)) {
        if (candidate.family != AF_INET) continue;
        for (const auto& address : addresses) {
            if (address.index == candidate.index && address.family == AF_INET) return address.text;
        }
    }
    return std::nullopt;
}

std::vector<std::string> NetworkSnapshot::tunnelsWithIPv4() const {
    std::vector<std::string> names;
    for (const auto& l : links) {
        const bool tunnel =
            l.kind == "tun" || l.kind == "wireguard" || l.type == ARPHRD_PPP || l.type == ARPHRD_NONE;
        if (tunnel && hasUsableAddress(*this, l.index, AF_INET)) names.push_back(l.name);
    }
    return names;
}

std::optional<std::string> primaryIPv4Address() {
    auto snapshot = NetworkSnapshot::read();
    if (!snapshot) return std::nullopt;
    return snapshot->primaryIPv4Address();
}

}  // namespace platform
