#pragma once
// One admitted UDP DNS flow: opens the client flow, reads one batch of queries,
// tags each query that no forwarding rule claims with the client-identification
// option, sends the batch on one upstream connection (to the resolver the last
// deciding query chose), writes the replies back and closes. The replies of a
// batch are written as they arrive, so that one answer the upstream loses does
// not take the others of its batch with it. Every path ends
// with the client flow closed and flowCompletion called once: an upstream that
// fails, is cancelled by anyone else, or passes its reply deadline closes the
// flow without writing.
//
// Threads: open() may be called from any thread; everything else runs on the
// client flow's queue, which the upstream connection shares. The flow keeps itself
// alive while its upstream connection is in use.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dnscodec/DNSMessage.hpp"
#include "dnsproxy/DNSServerConnection.hpp"
#include "dnsproxy/FilterManager.hpp"
#include "dnsproxy/FlowConfiguration.hpp"
#include "dnsproxy/ProxySettings.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/NEAppProxyFlow.hpp"

namespace dnsproxy {

class DNSProxyUDPFlow : public std::enable_shared_from_this<DNSProxyUDPFlow> {
public:
    using FlowCompletion = std::function<void(DNSProxyUDPFlow&, std::optional<platform::ne::FlowError>)>;

    struct Modified {
        bool rewritten = false;
        Datagram datagram;
        std::optional<FilterDecision> decision;
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
    DNSServerConnectionPtr dnsServerConnection;
    const platform::SystemLog* log;
    FlowConfigurationPtr providerConfig;
    FilterManager filterManager;
    const std::string fallBackDCHP = "8.8.8.8";
    FlowCompletion flowCompletion;

private:
    void readDatagrams(const std::optional<platform::ne::FlowError>& openError);
    void handleBatch(std::string host, std::optional<std::vector<Datagram>> datagrams,
                     std::optional<std::vector<platform::ne::NWEndpoint>> endpoints,
                     const std::optional<platform::ne::FlowError>& error);
    std::string localServer() const;
    void connect(std::string host, std::vector<Datagram> datagrams,
                 std::vector<platform::ne::NWEndpoint> endpoints);
    void writeDatagrams(DNSServerConnection& connection, std::optional<DNSServerConnection::Replies> replies,
                        const std::optional<platform::ne::NWError>& error);
    void writeReply(DNSServerConnection& connection, std::size_t index);
    void finishUpstream(DNSServerConnection& connection);

    const ProxySettings* settings_;
    platform::ne::Queue queue_;
    std::shared_ptr<ReceiveTimeCell> receiveTimeCell_;
    bool closed_ = false;             // on the queue: a closed flow starts no further step
    std::size_t repliesWritten_ = 0;  // of the current upstream's replies, passed on early
};

using DNSProxyUDPFlowPtr = std::shared_ptr<DNSProxyUDPFlow>;

// A text in double quotes with quotes, backslashes and control characters escaped.
std::string quotedDescription(const std::string& text);

}  // namespace dnsproxy
