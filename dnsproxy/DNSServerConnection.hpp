#pragma once
// One batch of client queries to one upstream resolver: one UDP association on
// which every datagram is sent once the association is ready, one receive per
// completed send, and one call of requestCompletion with all replies (in arrival
// order) or one call per error. Each reply that arrives while others are still
// outstanding is also announced through replyArrived, so that a client is not kept
// waiting for the slowest answer of its batch, and an answer already received is
// not lost with a later one. A connection that ends otherwise (it failed, was
// cancelled by anyone but its flow, or passed its reply deadline) calls
// endedCompletion instead, so that its flow can close.
//
// Threads: everything runs on the queue given at creation (the flow's), which is
// also the NWConnection's queue. receiveTime() may be read from any thread.
// The flow ends the connection with invalidate() and a cancel of `connection`.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dnsproxy/ProxySettings.hpp"
#include "dnsproxy/ReplyDeadlines.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/NWConnection.hpp"
#include "platform/ne/NWEndpoint.hpp"

namespace dnsproxy {

using platform::ne::Datagram;

// The monotonic time, in nanoseconds, at which an upstream connection last asked
// for a reply; kNoUpstream when the flow has no connection. Shared between a flow
// and its connection so that the provider's sweep can read it from any thread.
using ReceiveTimeCell = std::atomic<std::int64_t>;
inline constexpr std::int64_t kNoUpstream = INT64_MIN;

class DNSServerConnection : public std::enable_shared_from_this<DNSServerConnection>,
                            private ReplyDeadlines::Waiter {
public:
    using Replies = std::vector<Datagram>;
    using RequestCompletion = std::function<void(DNSServerConnection&, std::optional<Replies>,
                                                 std::optional<platform::ne::NWError>)>;
    using EndedCompletion = std::function<void(DNSServerConnection&)>;
    // The reply at `index` of receivedData has arrived and more are outstanding.
    using ReplyArrived = std::function<void(DNSServerConnection&, std::size_t index)>;

    struct Context {
        const ProxySettings* settings;
        platform::ne::Queue queue;
        std::shared_ptr<ReceiveTimeCell> receiveTimeCell;
        // Kept alive by the pending reply deadline (not by this object, so that no
        // cycle outlives the work): the flow that owns the connection.
        std::weak_ptr<void> owner = {};
    };

    DNSServerConnection(std::vector<Datagram> datagrams, std::string host, const platform::SystemLog& log,
                        std::vector<platform::ne::NWEndpoint> originalEndpoints,
                        RequestCompletion requestCompletion, Context context);
    ~DNSServerConnection();
    DNSServerConnection(const DNSServerConnection&) = delete;
    DNSServerConnection& operator=(const DNSServerConnection&) = delete;

    // The state machine of the NWConnection's state updates.
    void stateDidChange(const platform::ne::NWConnectionState& state);
    void handleError(const platform::ne::NWError& error, platform::ne::NWConnection& target);
    void sendDatagrams();
    void receive();

    // Arms the reply deadline from now (the creator calls it when it starts the connection).
    void armDeadline();
    // Drops both completions and the deadline: nothing of this object runs again.
    void invalidate();

    std::string uuid() const;
    std::int64_t receiveTime() const { return receiveTimeCell_->load(std::memory_order_relaxed); }
    friend bool operator==(const DNSServerConnection& a, const DNSServerConnection& b) {
        return a.uuid_ == b.uuid_;
    }

    platform::ne::NWConnectionPtr connection;
    std::vector<Datagram> datagrams;
    const platform::SystemLog* log;
    std::string host;
    std::int64_t errorsOnWaiting = 0;
    Replies receivedData;
    // A progress trace; nothing reads it but tests and logs.
    const char* state = "created";
    std::vector<platform::ne::NWEndpoint> originalEndpionts;
    RequestCompletion requestCompletion;
    EndedCompletion endedCompletion;
    ReplyArrived replyArrived;
    const std::int64_t maxErrorCount = 1;

private:
    void sendCompleted(const std::optional<platform::ne::NWError>& error);
    void receiveCompleted(std::optional<Datagram> content, const std::optional<platform::ne::NWError>& error);
    void deadlinePassed();
    void deadlineExpired(std::shared_ptr<void> owner) override;

    std::array<std::uint8_t, 16> uuid_;
    Context context_;
    std::shared_ptr<ReceiveTimeCell> receiveTimeCell_;
    ReplyDeadlines* deadlines_;
    bool complete_ = false;  // requestCompletion had every reply; later datagrams are strays
};

using DNSServerConnectionPtr = std::shared_ptr<DNSServerConnection>;

}  // namespace dnsproxy
