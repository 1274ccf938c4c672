#pragma once
// The idle upstream sockets of one io_context, kept for the next association.
// What a query's association needs of its own is an unpredictable source port
// (RFC 5452), not a socket: a UDP socket that was connected without being bound
// gives its port up when it disconnects, and its next connect takes a fresh random
// one from the kernel, as a new socket's would. Keeping the socket spares each
// query its creation, its registration with the event loop and its close.
//
// A socket comes back disconnected and drained (the datagrams and the error its
// last peer left are read away once its port is gone), so nothing of one
// association reaches the next; one that cannot be made so is closed. Sockets that
// stay idle for a whole trim period are closed, so a burst does not hold
// descriptors afterwards.
//
// Threads: any thread (under a lock); the sockets belong to the io_context's
// reactor and are closed, at the latest, when the io_context shuts down.
#include <asio/execution_context.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/ne/IoLoop.hpp"
#include "platform/ne/Queue.hpp"
#include "platform/ne/UringLoop.hpp"

namespace platform::ne {

class UpstreamSockets final : public asio::execution_context::service {
public:
    using key_type = UpstreamSockets;
    static asio::execution_context::id id;

    // Idle sockets kept at most; more are closed as they come back.
    static constexpr std::size_t kMaxIdle = 256;
    static constexpr std::chrono::milliseconds kTrimPeriod{1000};

    explicit UpstreamSockets(asio::execution_context& context);
    ~UpstreamSockets() override;

    // The service of the io_context behind `queue`.
    static UpstreamSockets& of(const Queue& queue);

    // An idle, unbound socket of `protocol` that carries `mark` (SO_MARK, 0 for
    // none); nullopt when there is none.
    std::optional<asio::ip::udp::socket> take(const asio::ip::udp& protocol, std::uint32_t mark);
    // Takes back a connected socket whose association has ended: its pending waits
    // end (aborted), it is disconnected and drained, and kept unless that fails or
    // kMaxIdle are idle already. The trim timer is the io thread's.
    // `family` is the socket's address family (the protocol's).
    void give(asio::ip::udp::socket socket, int family, std::uint32_t mark);
    // Takes back a socket that is disconnected and drained already (the ring did
    // it); kept unless kMaxIdle are idle already.
    void keep(asio::ip::udp::socket socket, int family, std::uint32_t mark);
    // Takes back a connected socket through `ring`: the disconnect and the drain are
    // submissions, and the socket is kept once they report it clean.
    static void giveThroughRing(UringLoop& ring, asio::ip::udp::socket socket, int family, std::uint32_t mark,
                                const Queue& queue);
    // Closes the sockets that were idle all through the last trim period (the
    // timer calls it every kTrimPeriod while any are idle).
    void trim();
    std::size_t idle() const;
    // Bursts whose end gave the heap back (tests).
    std::uint64_t burstsEnded() const { return bursts_; }

private:
    struct Idle {
        asio::ip::udp::socket socket;
        int family;
        std::uint32_t mark;
        std::uint64_t since;  // the trim period it came back in
    };

    void shutdown() override;
    void armTrimLocked();

    mutable std::mutex mutex_;
    std::vector<Idle> idle_;  // most recently returned last
    std::uint64_t period_ = 0;
    std::uint64_t bursts_ = 0;
    IoLoop::Timer timer_;  // on the io thread's list
    bool timerWaiting_ = false;
    bool shutDown_ = false;
};

}  // namespace platform::ne
