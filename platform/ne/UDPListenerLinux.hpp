#pragma once
// Linux: one listening UDP socket of the provider host, read with recvmmsg and
// written with sendmmsg. Sockets bound to a wildcard address learn each query's
// destination address (IP_PKTINFO / IPV6_PKTINFO) and answer from it, so a reply
// always leaves from the address the client queried.
//
// Threads: receive() and waitReadable() belong to the host's receive chain of this
// socket (one at a time); sendFrom() may be called from any thread. The socket
// closes when the last owner (the host or a flow still answering) lets go.
//
// With the thread's io_uring ring (UringLoop), the socket's receive stays armed
// (multishot) while a reader waits and fills the ring's provided buffers;
// waitReadable's handler runs once per turn of the loop that brought datagrams, and
// receive() hands them over as recvmmsg's would. A reader that does not wait again
// stops the receive, and what had arrived is copied out so that the buffers go back
// (what comes meanwhile waits in the socket's buffer); a cancelled listener gives
// everything back and is never armed again. Replies then go out as submissions at
// the end of the loop's turn, and their writer hears of each one's outcome.
//
// Memory: the receive slots belong to the receiving thread, not to the socket, and
// are shared by every listener that thread reads. A slot takes the largest UDP
// datagram, but only the pages that datagrams have actually filled are resident:
// the slots are never cleared, so a thread that only ever sees small queries holds
// a page or so per slot.
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/InlineFunction.hpp"
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
    ~UDPListener();
    UDPListener(const UDPListener&) = delete;
    UDPListener& operator=(const UDPListener&) = delete;

    const asio::ip::udp::endpoint& boundEndpoint() const { return bound_; }
    bool wildcard() const { return bound_.address().is_unspecified(); }

    // One recvmmsg without waiting. The spans (and the vector) stay valid until the
    // next receive() of any listener on this thread, and on the ring no longer than
    // the readable handler's call unless it waits again (a reader that stops waiting
    // gives the ring's buffers back). Datagrams cut short by the buffer are left out
    // and counted in `truncated`.
    std::vector<Received>& receive(std::size_t& truncated);
    void waitReadable(std::function<void(const asio::error_code&)> handler);
    // Ends the wait for good (the reader's handler gets operation_aborted). From any
    // thread. `ended`, when given, runs on the listener's thread once the socket is
    // read no more: on the ring, once the kernel has reported the end of its receive,
    // so that a process that stops its threads after it leaves the kernel nothing of
    // this socket to release later (the port is free when the process has gone).
    void cancel(std::function<void()> ended = {});

    // Sends the datagrams that reach this listener's SO_REUSEPORT group to its first
    // `sockets` members (in the order they were bound), spread by each query's DNS id
    // and client port, so that the threads behind the other members are not woken.
    // Datagrams too short to carry an id go to the first member. Set on any member,
    // it holds for the whole group; a count of 0 hands the choice back to the
    // kernel's hash of the addresses. Returns 0 or the errno of the failure (the
    // group keeps what it had).
    int steer(unsigned sockets);

    // Sends datagram i to destinations[i] from `from`; returns 0 or the first errno
    // (on the ring: 0 once handed to it).
    int sendFrom(const std::vector<Datagram>& datagrams,
                 const std::vector<const asio::ip::udp::endpoint*>& destinations,
                 const asio::ip::udp::endpoint& from);
    // The same, and `done` gets 0 or the first errno once every datagram has been
    // sent or has failed: at once on the epoll path, on the ring once the kernel has
    // reported each (on this thread; never, should the ring shut down first).
    using SendDone = platform::InlineFunction<void(int error), 64>;
    void sendFrom(const std::vector<Datagram>& datagrams,
                  const std::vector<const asio::ip::udp::endpoint*>& destinations,
                  const asio::ip::udp::endpoint& from, SendDone done);

    // The spare records of replies sent through this thread's ring, and the bytes
    // their datagrams keep (tests).
    static std::pair<std::size_t, std::size_t> spareRingSends();

    // Whether this listener receives through io_uring.
    bool onRing() const { return multishot_ != nullptr; }

    struct Multishot;  // the armed receive on the ring

private:
    std::vector<Received>& receiveFromRing(std::size_t& truncated);
    // Adds the datagram of one multishot receive record to `received`, unless it was
    // cut short (counted) or lacks its destination; whether it was added.
    bool takeFromRing(const std::uint8_t* record, std::size_t length, std::size_t& truncated,
                      std::vector<Received>& received);
    void sendOnRing(const std::vector<Datagram>& datagrams,
                    const std::vector<const asio::ip::udp::endpoint*>& destinations,
                    const asio::ip::udp::endpoint& from, SendDone done);

    int descriptor();

    asio::io_context& io_;
    asio::ip::udp::socket socket_;
    int ringDescriptor_ = -1;  // the socket, once released to the ring
    asio::ip::udp::endpoint bound_;
    std::size_t batchSize_;
    Multishot* multishot_ = nullptr;  // in a slot of the ring's that this listener owns
};

}  // namespace platform::ne
