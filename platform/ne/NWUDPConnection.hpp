#pragma once
// The real network connection on Linux: a connected, non-blocking UDP socket on
// standalone Asio. The host must be an IP literal (names are never looked up, so
// the proxy cannot resolve through itself): anything else fails the connection. A
// target that is one of this process's own listening endpoints fails it too.
// Errors of connect() that mean "no route now" put the connection in waiting.
// The socket never takes one of the process's last few descriptors (kept for the
// rest of the process): that fails the connection with EMFILE, as a full table
// does, and running out is logged now and then.
// Sockets are reused from association to association (UpstreamSockets), each
// connect taking a new random source port.
// On a queue whose io_context has an io_uring ring (UringLoop), the sends, the
// wait for a reply (a poll; the reply is then read as on the epoll path) and the
// disconnect and drain of a socket going back are submissions that go in at the end
// of the loop's turn; a send counts as done once handed to the ring (a UDP
// send that fails later fails the next receive instead, with the send's error).
// Owned through shared_ptr: pending work keeps it alive until it is cancelled; what
// the ring still does for it (a send, a wait) does not.
#include <array>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/BlockPool.hpp"
#include "platform/ne/NWConnection.hpp"
#include "platform/ne/UringLoop.hpp"

namespace platform::ne {

class UpstreamSockets;

class NWUDPConnection final : public NWConnection, public std::enable_shared_from_this<NWUDPConnection> {
public:
    static std::shared_ptr<NWUDPConnection> make(std::string host, std::uint16_t port);
    static NWConnectionFactory factory();

    void setStateUpdateHandler(StateUpdateHandler handler) override;
    bool hasStateUpdateHandler() const override {
        return replacement_ ? static_cast<bool>(*replacement_) : static_cast<bool>(handler_);
    }
    NWConnectionState state() const override { return state_; }

    void start(Queue queue) override;
    void cancel() override;
    void restart() override;
    void cancelCurrentEndpoint() override {}

    void batch(const std::function<void()>& block) override;
    void send(Datagram content, ContentContext context, bool isComplete, SendCompletion completion) override;
    void receiveMessage(ReceiveCompletion completion) override;

    // The socket's local endpoint while ready (tests).
    std::optional<asio::ip::udp::endpoint> localEndpoint() const;

    NWUDPConnection(std::string host, std::uint16_t port);

    // The kernel's report of a send that failed after it was counted as done.
    void ringSendFailed(std::uint64_t generation, int error);
    // The end of the wait on the ring for a reply to socket `generation`.
    void ringReceived(std::uint64_t generation, int result);

private:
    struct PendingSend {
        Datagram content;
        SendCompletion completion;
    };

    void connectNow();
    void setState(NWConnectionState::Kind kind, std::optional<NWError> error = std::nullopt);
    using SendOutcome = std::pair<SendCompletion, std::optional<NWError>>;
    using SendOutcomes = std::vector<SendOutcome, PoolAllocator<SendOutcome>>;

    void deliverStates();
    static void deliverDeferredStates(UringDeferred& work);
    // Calls the send completions in order, none once cancelled.
    void complete(SendOutcomes& outcomes);
    void deliver(const NWConnectionState& state);
    void closeSocket();
    void flushSends();
    void armWrite();
    void armRead();
    // One wait for `type` at a time (`armed`); `ready` runs when the socket is, unless
    // the wait belongs to an earlier socket or the connection was cancelled.
    void armWait(asio::socket_base::wait_type type, bool NWUDPConnection::*armed,
                 void (NWUDPConnection::*ready)());
    void onReadable();
    ReceiveCompletion takeReceive();
    void armRingRead();

    std::string host_;
    std::uint16_t port_;
    std::optional<Queue> queue_;
    std::optional<asio::ip::udp::socket> socket_;
    asio::ip::udp::endpoint target_;
    std::uint32_t mark_ = 0;  // SO_MARK of socket_
    bool connected_ = false;  // socket_ is connected to target_: it goes back to UpstreamSockets
    StateUpdateHandler handler_;
    // Set while a state is being delivered: the handler that replaces the one
    // running (or none), which takes its place when it returns. States are delivered
    // from the queue alone, never from inside a handler.
    std::optional<StateUpdateHandler> replacement_;
    bool inHandler_ = false;
    // State changes waiting for their delivery, oldest first; more than fit go on
    // their own.
    std::array<NWConnectionState, 4> pending_;
    std::size_t pendingCount_ = 0;
    NWConnectionState state_;
    bool cancelled_ = false;
    bool readArmed_ = false;
    bool writeArmed_ = false;
    int batchDepth_ = 0;
    std::uint64_t generation_ = 0;  // bumped per socket; waits of an older socket are ignored
    std::vector<PendingSend, PoolAllocator<PendingSend>> sends_;
    std::vector<ReceiveCompletion, PoolAllocator<ReceiveCompletion>> receives_;  // oldest first
    // Send outcomes of the state deliveries under way (delivering_ deep), completed
    // after them.
    int delivering_ = 0;
    SendOutcomes heldOutcomes_;
    UringLoop* ring_ = nullptr;           // the queue's ring, when it has one
    UpstreamSockets* sockets_ = nullptr;  // the queue's, once started
    // The wait for a reply on the ring (a poll: the reply is then read as on the
    // epoll path), one at a time: the ring holds it until it ends, and it finds the
    // connection gone, or its socket replaced, or not.
    UringSlot ringReceive_;
    // The state delivery deferred to the end of a ring turn, holding the connection.
    struct StateDelivery : UringDeferred {
        std::shared_ptr<NWUDPConnection> owner;
    };
    StateDelivery stateDelivery_;
};

}  // namespace platform::ne
