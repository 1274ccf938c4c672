#pragma once
// Transparent interception of the computer's UDP DNS while the proxy runs: an
// nftables table of our own ("inet kivdnsproxy") whose chain on the output hook
// sends every UDP datagram to port 53 that this computer sends, whatever its
// destination address, to the host's listening socket of its family. Conntrack
// remembers the translation, so the answer reaches the client from the address it
// asked. The proxy takes no TCP, so a second chain on the output hook refuses every
// TCP connection to port 53 of those families with a reset: the client fails at
// once, as a flow the proxy does not take fails, instead of reaching a server
// unfiltered. Packets of sockets that carry the upstream mark (the proxy's own
// connections to resolvers) pass both untouched, so nothing the proxy sends comes
// back to it.
//
// Installing replaces a table of that name in one transaction, so a table left by
// a daemon that was killed is taken over, never doubled. Removing is idempotent.
// The kernel forgets the translations of its connections with the table, so a
// client that keeps its socket goes its own way again too.
// Both need CAP_NET_ADMIN in the network namespace.
//
// Threads: any; calls are serialised.
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::ne {

inline constexpr const char* kInterceptionTable = "kivdnsproxy";
// "KIV": the socket mark of the proxy's upstream connections.
inline constexpr std::uint32_t kUpstreamSocketMark = 0x4b4956;

struct InterceptionSettings {
    bool enabled = false;
    std::string table = kInterceptionTable;
    std::uint32_t mark = kUpstreamSocketMark;
    // The computer's name servers on this computer itself (a local forwarder such
    // as dnsmasq): what they forward leaves over port 53 without our mark and would
    // come back, so while the proxy intercepts they count as its own endpoints and
    // are never its upstream.
    std::vector<asio::ip::udp::endpoint> localForwarders;
};

// The nftables text that installs the table for `listening` (the host's bound
// endpoints): the first endpoint of each family is the target of that family; a
// wildcard endpoint is reached through its family's loopback address; TCP to port
// 53 of that family is refused. Families without an endpoint are left alone, over
// UDP and TCP; `uncovered` names them.
std::string interceptionRuleset(const std::string& table, std::uint32_t mark,
                                const std::vector<asio::ip::udp::endpoint>& listening,
                                std::vector<std::string>* uncovered = nullptr);

class Interception {
public:
    explicit Interception(InterceptionSettings settings);
    ~Interception();  // removes the table when installed
    Interception(const Interception&) = delete;
    Interception& operator=(const Interception&) = delete;

    const InterceptionSettings& settings() const { return settings_; }

    // Installs (or replaces) the table for `listening`; empty on success, else the
    // failure's text. On success, upstream sockets made from now on carry the mark.
    std::string install(const std::vector<asio::ip::udp::endpoint>& listening);
    // Removes the table when this object installed it; empty on success.
    std::string remove();
    bool installed() const;

private:
    InterceptionSettings settings_;
    mutable std::mutex mutex_;
    bool installed_ = false;
};

// Removes the table `table` whether or not it exists (a daemon killed before it
// could remove its own); empty on success, else the failure's text.
std::string clearInterception(const std::string& table = kInterceptionTable);
// Runs nftables commands through libnftables; empty on success, else its error text.
std::string runNftables(const std::string& commands);
// Makes the process's nftables context now, while descriptors are few (its netlink
// socket must stay below FD_SETSIZE); runNftables makes it otherwise.
void prepareNftables();

// The mark the provider's upstream sockets carry (SO_MARK), 0 for none. Process-wide.
void setUpstreamSocketMark(std::uint32_t mark);
std::uint32_t upstreamSocketMark();

// The file that names the computer's own DNS servers as they were before any
// interception: `path`, unless it names only systemd-resolved's local stub
// (127.0.0.53, 127.0.0.54), whose queries leave through resolved's own upstream
// servers: then `resolvedPath` (resolved's list of those servers) when readable.
std::string computerResolvConf(const std::string& path,
                               const std::string& resolvedPath = "/run/systemd/resolve/resolv.conf");
// The loopback "nameserver" addresses of the resolv.conf at `path`.
std::vector<std::string> loopbackNameServers(const std::string& path);

}  // namespace platform::ne
