#pragma once
// One admitted UDP DNS flow: opens the client flow, reads one batch of queries,
// tags each query that no forwarding rule claims with the client-identification
// option, sends each query to the resolver its own decision names (one upstream
// connection per distinct resolver of the batch), writes the replies back and
// closes. The replies of a batch are written as they arrive, each to the client
// endpoint of the query it answers, so that one answer the upstream loses does not
// take the others of its batch with it. A reply longer than its client can take
// (512 bytes, or the payload size of the client's own OPT record) goes back cut to
// its header and question with TC set, and an OPT record when the client sent one. Every path ends with the
// client flow closed and flowCompletion called once, after the last upstream connection has ended: an
// upstream that fails, is cancelled by anyone else, or passes its reply deadline
// ends without writing what it still owed.
//
// Threads: open() may be called from any thread; everything else runs on the
// client flow's queue, which the upstream connection shares. The flow keeps itself
// alive while its upstream connection is in use.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dnscodec/DNSMessage.hpp"
#include "dnsproxy/DNSServerConnection.hpp"
#include "dnsproxy/FilterManager.hpp"
#include "dnsproxy/FlowConfiguration.hpp"
#include "dnsproxy/ProxySettings.hpp"
#include "platform/BlockPool.hpp"
#include "platform/InlineFunction.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/NEAppProxyFlow.hpp"

namespace dnsproxy {

class DNSProxyUDPFlow : public std::enable_shared_from_this<DNSProxyUDPFlow> {
public:
    using FlowCompletion =
        platform::InlineFunction<void(DNSProxyUDPFlow&, std::optional<platform::ne::FlowError>)>;

    // What a client that shows no EDNS takes in one reply.
    static constexpr std::uint16_t kClassicReplyLimit = 512;

    struct Modified {
        bool rewritten = false;
        Datagram datagram;
        std::optional<FilterDecision> decision;
        // What the client takes in one reply.
        ReplyLimit replyLimit = {};
    };

    // `settings` must outlive the flow.
    DNSProxyUDPFlow(std::shared_ptr<platform::ne::NEAppProxyUDPFlow> flow, const platform::SystemLog& log,
                    FlowConfigurationPtr providerConfig, const ProxySettings& settings);
    DNSProxyUDPFlow(const DNSProxyUDPFlow&) = delete;
    DNSProxyUDPFlow& operator=(const DNSProxyUDPFlow&) = delete;

    void open();
    Modified modifyDNS(Datagram datagram, const FlowConfiguration* config) const;
    std::optional<FilterDecision> filterRule(const FlowConfiguration* config, std::string_view externalIP,
                                             const dnscodec::DNSMessage& message) const;
    // The same for a query whose first question names `questionName` (empty: none).
    std::optional<FilterDecision> filterRule(const FlowConfiguration* config, std::string_view externalIP,
                                             std::string_view questionName) const;
    void close(std::optional<platform::ne::FlowError> error);

    // For the provider's completion sweep, from any thread: when the upstream
    // connection last asked for a reply (kNoUpstream when there is none).
    std::int64_t upstreamReceiveTime() const { return receiveTimeCell_->load(std::memory_order_relaxed); }
    // Posts to the flow's queue: cancel the upstream connection if it is still idle
    // more than `limit` at `now` (monotonic nanoseconds).
    void cancelIdleUpstream(std::int64_t now, std::int64_t limit);
    // Posts to the flow's queue: end the flow now (shutdown).
    void abandon();

    std::shared_ptr<platform::ne::NEAppProxyUDPFlow> flow;
    const std::size_t identifier;
    // The batch's upstream connections still in use, one per resolver.
    std::vector<DNSServerConnectionPtr, platform::PoolAllocator<DNSServerConnectionPtr>> dnsServerConnections;
    const platform::SystemLog* log;
    FlowConfigurationPtr providerConfig;
    FilterManager filterManager;
    const std::string fallBackDCHP = "8.8.8.8";
    FlowCompletion flowCompletion;
    // The provider's shard of its flow set that lists this flow.
    std::size_t shard = 0;

private:
    void readDatagrams(const std::optional<platform::ne::FlowError>& openError);
    void handleBatch(std::optional<std::vector<Datagram>> datagrams,
                     std::optional<std::vector<platform::ne::NWEndpoint>> endpoints,
                     const std::optional<platform::ne::FlowError>& error);
    std::string localServer() const;
    // Where a query goes: the resolver its decision names, else `defaultHost`.
    std::string hostFor(const std::optional<FilterDecision>& decision, const std::string& defaultHost) const;
    // One connection for each resolver of the batch, its queries in batch order.
    void connectEach(std::vector<std::string> hosts, std::vector<Datagram> datagrams,
                     std::vector<platform::ne::NWEndpoint> endpoints, std::vector<ReplyLimit> limits);
    void connect(std::string host, std::vector<Datagram> datagrams,
                 std::vector<platform::ne::NWEndpoint> endpoints, std::vector<ReplyLimit> limits);
    bool ownsUpstream(const DNSServerConnection& connection) const;
    void writeDatagrams(DNSServerConnection& connection, std::optional<DNSServerConnection::Replies> replies,
                        const std::optional<platform::ne::NWError>& error);
    void writeReply(DNSServerConnection& connection, std::size_t index);
    void finishUpstream(DNSServerConnection& connection);

    const ProxySettings* settings_;
    platform::ne::Queue queue_;
    std::shared_ptr<ReceiveTimeCell> receiveTimeCell_;
    bool closed_ = false;  // on the queue: a closed flow starts no further step
};

using DNSProxyUDPFlowPtr = std::shared_ptr<DNSProxyUDPFlow>;

// A query in the one shape nearly every client sends: one question whose name is
// written out in labels of at most 63 bytes (no pointer), no answer or authority
// records, and additional records, if any, each owned by the root name.
struct PlainQuery {
    std::size_t questionEnd;  // just past the question
    ReplyLimit replyLimit;    // from the first OPT record, at least 512
};
// Reads `query` when it has that shape (else nullopt), its question's name, as the
// message decoder would give it, into `name`. What the decoder could not read is
// never in that shape.
std::optional<PlainQuery> readPlainQuery(std::span<const std::uint8_t> query, std::string& name);

// Cuts `reply` to its header and first question, with TC set and the other
// sections' counts 0, when it is longer than `limit.bytes`; false when it fits. A
// reply whose question does not parse keeps its header alone. For a client that
// showed EDNS an OPT record follows (RFC 6891 section 7): the reply's own, without
// its options, or else one of payload size kTruncatedReplyPayload.
bool truncateReply(Datagram& reply, ReplyLimit limit);
// The payload size of the OPT record made for a cut reply whose resolver sent none.
inline constexpr std::uint16_t kTruncatedReplyPayload = 1232;

// A text in double quotes with quotes, backslashes and control characters escaped.
std::string quotedDescription(const std::string& text);

}  // namespace dnsproxy
