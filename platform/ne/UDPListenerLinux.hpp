#pragma once
// Linux: one listening UDP socket of the provider host, read with recvmmsg and
// written with sendmmsg. Sockets bound to a wildcard address learn each query's
// destination address (IP_PKTINFO / IPV6_PKTINFO) and answer from it, so a reply
// always leaves from the address the client queried.
//
// Threads: receive() and waitReadable() belong to the host's receive chain of this
// socket (one at a time); sendFrom() may be called from any thread. The socket
// closes when the last owner (the host or a flow still answering) lets go.
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/ne/NEAppProxyFlow.hpp"

namespace platform::ne {

class UDPListener {
public:
    struct Received {
        std::span<const std::uint8_t> data;
        asio::ip::udp::endpoint source;
        asio::ip::udp::endpoint local;  // the address the datagram was sent to
    };

    // Binds `address`; with `reusePort` several listeners may share it. Throws
    // std::system_error naming the address when the socket cannot be made.
    UDPListener(asio::io_context& io, const asio::ip::udp::endpoint& address, bool reusePort,
                std::size_t batchSize);
    // Another handle on `socket`'s socket, for another io_context: both receive from
    // the one socket queue. Throws std::system_error when the handle cannot be made.
    UDPListener(asio::io_context& io, const UDPListener& socket);

    const asio::ip::udp::endpoint& boundEndpoint() const { return bound_; }
    bool wildcard() const { return bound_.address().is_unspecified(); }

    // One recvmmsg without waiting. The spans stay valid until the next call.
    // Datagrams cut short by the buffer are left out and counted in `truncated`.
    std::vector<Received>& receive(std::size_t& truncated);
    void waitReadable(std::function<void(const asio::error_code&)> handler);
    void cancel();

    // Sends datagram i to destinations[i] from `from`; returns 0 or the first errno.
    int sendFrom(const std::vector<Datagram>& datagrams,
                 const std::vector<const asio::ip::udp::endpoint*>& destinations,
                 const asio::ip::udp::endpoint& from);

private:
    void allocateBuffers();

    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint bound_;
    std::size_t batchSize_;
    std::vector<std::uint8_t> buffers_;
    std::vector<std::uint8_t> control_;
    std::vector<mmsghdr> messages_;
    std::vector<iovec> vectors_;
    std::vector<sockaddr_storage> sources_;
    std::vector<Received> received_;
};

}  // namespace platform::ne
