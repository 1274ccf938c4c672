#pragma once
// The UDP endpoints that this process's provider host listens on. Upstream
// connections consult it so that the proxy never sends a query back into itself
// (a forwarding rule that names the computer's own DNS server, which may be this
// proxy, would otherwise loop). Process-wide; any thread; reads take no lock.
#include <asio/ip/udp.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::ne {

class OwnEndpoints {
public:
    static OwnEndpoints& shared();

    void add(const asio::ip::udp::endpoint& listening);
    void remove(const asio::ip::udp::endpoint& listening);

    // True when a datagram sent to `target` from a socket connected to it (whose
    // local address is `connectedLocal`) would reach one of the listening sockets.
    // Every spelling counts: an IPv4-mapped target is its IPv4 address, and the
    // unspecified address is this host's loopback.
    bool wouldLoop(const asio::ip::udp::endpoint& target,
                   const asio::ip::udp::endpoint& connectedLocal) const;
    // The same test before any socket exists: exact or loopback matches only.
    bool wouldLoop(const asio::ip::udp::endpoint& target) const;
    // Whether a wildcard listener uses `port` (only then does the connected socket's
    // own address matter).
    bool wildcardOnPort(unsigned short port) const;

private:
    using List = std::vector<asio::ip::udp::endpoint>;
    std::mutex writeMutex_;
    std::atomic<std::shared_ptr<const List>> list_{std::make_shared<const List>()};
};

}  // namespace platform::ne
