#pragma once
// A client of systemd-resolved's manager object (org.freedesktop.resolve1, /org/freedesktop/resolve1)
// on the system bus: per-link DNS servers (SetLinkDNS, RevertLink, the link's "DNS" and "Domains"
// properties) and the cache flush (FlushCaches).
//
// Calls are synchronous, each bounded by the client's call timeout; they are meant for request
// handlers that may block (the helper tool), not for the main queue. One client belongs to one
// thread at a time; destroying it closes its bus connection. Links with libsystemd (PkgConfig::SYSTEMD).
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kResolvedBusName = "org.freedesktop.resolve1";

// The outcome of a call: empty on success, else why it failed ("<D-Bus error name>: <message>",
// or the connection's errno text).
struct ResolvedResult {
    std::string error;
    bool ok() const { return error.empty(); }
};

struct ResolvedLinkDNS {
    std::vector<std::string> servers;  // address literals, in resolved's order
    std::vector<std::string> domains;  // search domains; routing-only ones prefixed with "~"
};

class ResolvedClient {
public:
    static constexpr std::chrono::seconds kDefaultCallTimeout{10};

    // A connection to the bus at `address` (a D-Bus address such as "unix:path=/run/dbus/x"), or to
    // the system bus when none; null, with the reason in `error`, when it cannot be made.
    static std::unique_ptr<ResolvedClient> connect(const std::optional<std::string>& address,
                                                   std::string* error = nullptr);
    ~ResolvedClient();
    ResolvedClient(const ResolvedClient&) = delete;
    ResolvedClient& operator=(const ResolvedClient&) = delete;

    void setCallTimeout(std::chrono::microseconds timeout);

    // True when some connection owns the resolved name on this bus.
    bool running();

    // Replaces the link's servers; every text must be a plain IPv4 or IPv6 literal (else nothing is
    // sent and the result says which one).
    ResolvedResult setLinkDNS(int interfaceIndex, const std::vector<std::string>& servers);
    // Drops every setting made for the link over the bus.
    ResolvedResult revertLink(int interfaceIndex);
    ResolvedResult flushCaches();
    // The link's servers and domains; none (reason in `error`) when resolved does not know it.
    std::optional<ResolvedLinkDNS> linkDNS(int interfaceIndex, std::string* error = nullptr);

private:
    struct Bus;
    explicit ResolvedClient(std::unique_ptr<Bus> bus);
    std::unique_ptr<Bus> bus_;
};

using ResolvedClientPtr = std::unique_ptr<ResolvedClient>;

}  // namespace platform
