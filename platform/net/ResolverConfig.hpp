#pragma once
// The system's DNS servers, as the resolver configuration names them.
//
// glibc's res_ninit reads only /etc/resolv.conf and keeps IPv6 servers in private fields, so the
// files are read here, by the resolver's own rules: "nameserver ADDRESS" lines (IPv4 or IPv6,
// an IPv6 address may carry "%scope"), '#' and ';' start comments, other keywords are ignored.
// Under systemd-resolved /etc/resolv.conf names only the local stub; the upstream servers are
// then those of resolved's own file. The stub and the addresses the DNS proxy listens on are
// dropped, so whoever forwards to these servers never sends a query back into the proxy.
//
// A value; any thread. Files over 1 MiB and files that are no regular files are refused.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ResolverConfigPaths {
    std::string resolvConf = "/etc/resolv.conf";
    std::string resolvedUpstream = "/run/systemd/resolve/resolv.conf";
    // Addresses never reported as servers: the DNS proxy's listeners.
    std::vector<std::string> ownAddresses{"127.0.0.1", "::1"};
};

// The most servers one state keeps.
inline constexpr std::size_t kMaxResolverServers = 32;

// One reading of the resolver configuration.
class ResolverState {
public:
    // Nothing when resolvConf exists but cannot be read (a missing file gives no servers).
    static std::optional<ResolverState> load(const ResolverConfigPaths& paths);

    // Numeric addresses in file order, without duplicates.
    const std::vector<std::string>& servers() const { return servers_; }

private:
    std::vector<std::string> servers_;
};

// The "nameserver" addresses of resolv.conf text, normalised (inet_ntop form, IPv6 scope kept),
// in order; malformed lines are skipped.
std::vector<std::string> parseResolvConf(const std::string& text);

// True for the systemd-resolved stub addresses.
bool isResolvedStub(const std::string& address);

}  // namespace platform
