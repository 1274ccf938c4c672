#pragma once
// One batch of client queries to one upstream resolver: one UDP association on
// which every datagram is sent once the association is ready, one receive per
// completed send, and one call of requestCompletion with all replies (in arrival
// order) or one call per error. A reply counts only when its DNS id and question
// match a query still outstanding here (RFC 5452): anything else from the
// resolver's address and port (a blind forger's guess, a late duplicate) is counted,
// logged now and then, and dropped, and the receive goes on. Each reply that
// arrives while others are still outstanding is also announced through
// replyArrived, so that a client is not kept waiting for the slowest answer of its
// batch, and an answer already received is not lost with a later one. A connection
// that ends otherwise (it failed, was cancelled by anyone but its flow, or passed
// its reply deadline) calls endedCompletion instead, so that its flow can close.
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
#include <span>
#include <string>
#include <vector>

#include "dnsproxy/ProxySettings.hpp"
#include "dnsproxy/ReplyDeadlines.hpp"
#include "platform/InlineFunction.hpp"
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

// The offset just past the first question of a DNS message (12, the header's
// size, when it announces none); absent when the header or that question does not
// parse. A compressed name is not read: nothing precedes the first one to point at.
std::optional<std::size_t> questionEnd(std::span<const std::uint8_t> message);

// Whether `reply` is a response to `query` with the same id and:
// - the same first question (name in any ASCII case, type, class), or no question
//   in either;
// - or no question and an error rcode other than NXDOMAIN (FORMERR, SERVFAIL,
//   NOTIMP, REFUSED, ...): what a server sends for a query it could not take. An
//   NXDOMAIN speaks of a name, so it needs the question;
// - or anything at all when the query's header or first question does not parse:
//   such a query went out as it came and nothing but its id can be compared.
bool answersQuery(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply);

// What a client takes in one reply: the most bytes, and whether it showed EDNS (an
// OPT record of its own), which a reply cut short for it then shows too.
struct ReplyLimit {
    std::uint16_t bytes = 512;
    bool edns = false;
    friend bool operator==(const ReplyLimit&, const ReplyLimit&) = default;
};

class DNSServerConnection final : public std::enable_shared_from_this<DNSServerConnection>,
                                  private ReplyDeadlines::Waiter {
public:
    using Replies = std::vector<Datagram>;
    // Move-only; a capture of a pointer or two stays in place.
    using RequestCompletion = platform::InlineFunction<void(DNSServerConnection&, std::optional<Replies>,
                                                            std::optional<platform::ne::NWError>)>;
    using EndedCompletion = platform::InlineFunction<void(DNSServerConnection&)>;
    // The reply at `index` of receivedData has arrived and more are outstanding.
    using ReplyArrived = platform::InlineFunction<void(DNSServerConnection&, std::size_t index)>;

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

    // Replies dropped because they answered no outstanding query, by all connections
    // of the process.
    static std::uint64_t strayReplies();

    std::string uuid() const;
    std::int64_t receiveTime() const { return receiveTimeCell_->load(std::memory_order_relaxed); }
    // Each connection's identifier is its own: the same identifier, the same connection.
    friend bool operator==(const DNSServerConnection& a, const DNSServerConnection& b) { return &a == &b; }

    platform::ne::NWConnectionPtr connection;
    std::vector<Datagram> datagrams;
    const platform::SystemLog* log;
    std::string host;
    std::int64_t errorsOnWaiting = 0;
    Replies receivedData;
    // For each entry of receivedData, the index in `datagrams` of the query it answers.
    std::vector<std::uint32_t> answered;
    // A progress trace; nothing reads it but tests and logs.
    const char* state = "created";
    std::vector<platform::ne::NWEndpoint> originalEndpionts;
    // Not read here either: the flow's, per datagram, the most its client takes in one
    // reply, and how many of receivedData it has passed on early.
    std::vector<ReplyLimit> replyLimits;
    std::size_t repliesPassedOn = 0;
    RequestCompletion requestCompletion;
    EndedCompletion endedCompletion;
    ReplyArrived replyArrived;
    const std::int64_t maxErrorCount = 1;

private:
    void sendCompleted(const std::optional<platform::ne::NWError>& error);
    void receiveCompleted(std::optional<Datagram> content, const std::optional<platform::ne::NWError>& error);
    void issueReceive();
    // The outstanding query `reply` answers, if any.
    std::optional<std::uint32_t> outstandingQueryFor(const Datagram& reply) const;
    void dropStray();
    void deadlinePassed();
    void deadlineExpired(std::shared_ptr<void> owner) override;
    // Calls requestCompletion or replyArrived in place, where the call may end this
    // connection (invalidate()) or set another: the one called is kept for later
    // calls unless either happened.
    template <typename Member, typename... Args>
    void callKept(Member DNSServerConnection::*member, Args&&... args);

    // Drawn when first asked for: nearly no connection is ever asked.
    mutable std::optional<std::array<std::uint8_t, 16>> uuid_;
    Context context_;
    std::shared_ptr<ReceiveTimeCell> receiveTimeCell_;
    ReplyDeadlines* deadlines_;
    // Until when the deadline was last armed here (the service's own record is
    // behind its lock); cleared once the deadline is cancelled for good.
    std::optional<ReplyDeadlines::Clock::time_point> armedUntil_;
    bool complete_ = false;  // requestCompletion had every reply; later datagrams are strays
    std::uint32_t invalidations_ = 0;
};

using DNSServerConnectionPtr = std::shared_ptr<DNSServerConnection>;

}  // namespace dnsproxy
