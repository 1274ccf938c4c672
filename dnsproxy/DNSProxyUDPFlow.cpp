#include "dnsproxy/DNSProxyUDPFlow.hpp"

#include <asio/post.hpp>
#include <cstdio>

#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnsproxy/ClientIdentificationOption.hpp"
#include "dnsproxy/ProxyLog.hpp"
#include "dnsproxy/RandomIndex.hpp"

namespace dnsproxy {

using platform::ne::FlowError;
using platform::ne::NWEndpoint;
using platform::ne::NWError;

namespace {
constexpr std::size_t kMaxMessageSize = 65535;
constexpr std::size_t kAdditionalCountOffset = 10;  // in the 12-byte header
}  // namespace

std::string quotedDescription(const std::string& text) {
    std::string result = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                result += "\\\"";
                break;
            case '\\':
                result += "\\\\";
                break;
            case '\n':
                result += "\\n";
                break;
            case '\r':
                result += "\\r";
                break;
            case '\t':
                result += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[12];
                    std::snprintf(escaped, sizeof escaped, "\\u{%X}", c);
                    result += escaped;
                } else {
                    result.push_back(static_cast<char>(c));
                }
        }
    }
    return result + "\"";
}

DNSProxyUDPFlow::DNSProxyUDPFlow(std::shared_ptr<platform::ne::NEAppProxyUDPFlow> flow_,
                                 const platform::SystemLog& log_, FlowConfigurationPtr providerConfig_,
                                 const ProxySettings& settings)
    : flow(std::move(flow_)),
      identifier(flow->hash()),
      log(&log_),
      providerConfig(std::move(providerConfig_)),
      filterManager(filterLog()),
      settings_(&settings),
      queue_(flow->queue()),
      receiveTimeCell_(std::make_shared<ReceiveTimeCell>(kNoUpstream)) {}

void DNSProxyUDPFlow::open() {
    const auto local = flow->localEndpoint();
    const auto* host = local ? platform::ne::hostEndpoint(*local) : nullptr;
    if (!host) {
        // Such a flow can never be read; end it so that it does not stay admitted.
        asio::post(queue_, [self = shared_from_this()] { self->close(std::nullopt); });
        return;
    }
    log->debug("open called with local endpoint");
    flow->open(*host,
               [self = shared_from_this()](std::optional<FlowError> error) { self->readDatagrams(error); });
}

void DNSProxyUDPFlow::readDatagrams(const std::optional<FlowError>& openError) {
    if (closed_) return;
    if (openError) {
        logDebug(*log, [&] {
            return "UDP Error when opening message : (" +
                   quotedDescription(openError->localizedDescription()) + ")";
        });
        close(std::nullopt);
        return;
    }
    if (!providerConfig || providerConfig->providerConfig.resolvers.empty()) {
        log->debug("Missing default host resolver");
        close(std::nullopt);
        return;
    }
    flow->readDatagrams([self = shared_from_this(), host = providerConfig->providerConfig.resolvers.front()](
                            std::optional<std::vector<Datagram>> datagrams,
                            std::optional<std::vector<NWEndpoint>> endpoints,
                            std::optional<FlowError> error) mutable {
        self->handleBatch(std::move(host), std::move(datagrams), std::move(endpoints), error);
    });
}

void DNSProxyUDPFlow::handleBatch(std::string host, std::optional<std::vector<Datagram>> datagrams,
                                  std::optional<std::vector<NWEndpoint>> endpoints,
                                  const std::optional<FlowError>& error) {
    if (closed_) return;
    if (error) {
        logDebug(*log,
                 [&] { return "UDP Error when reading flow  : (" + error->localizedDescription() + ")"; });
        close(std::nullopt);
        return;
    }
    if (!datagrams || !endpoints) {
        log->debug("No datagrams to read");
        close(std::nullopt);
        return;
    }
    if (datagrams->empty()) {
        log->debug("Received EOF of the UDP flow, closing the flow with no error");
        close(std::nullopt);
        return;
    }
    if (endpoints->size() < datagrams->size()) {
        log->debug("Datagrams without endpoints, closing the flow with no error");
        close(std::nullopt);
        return;
    }
    // The batch is compacted in place: what goes upstream is datagram i at place
    // `kept`, with its endpoint beside it.
    auto& batch = *datagrams;
    auto& batchEndpoints = *endpoints;
    batchEndpoints.resize(batch.size());
    std::size_t kept = 0;
    const FlowConfiguration* config = providerConfig.get();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const NWEndpoint& endpoint = batchEndpoints[i];
        if (!platform::ne::hostEndpoint(endpoint)) {
            platform::nsLog("DNSProxyProvider no endpoint");
            closed_ = true;
            flow->closeRead(std::nullopt);
            flow->closeWrite(std::nullopt);
            if (flowCompletion) {
                auto completion = std::move(flowCompletion);
                flowCompletion = nullptr;
                completion(*this, std::nullopt);
            }
            continue;
        }
        auto modified = modifyDNS(std::move(batch[i]), config);
        if (modified.decision) {
            const auto& decision = *modified.decision;
            if (decision.resolver) {
                host = *decision.resolver;
            } else if (!decision.isDefault) {
                host = localServer();
            }
        }
        batch[kept] = std::move(modified.datagram);
        if (kept != i) batchEndpoints[kept] = endpoint;
        ++kept;
    }
    batch.resize(kept);
    batchEndpoints.resize(kept);
    // Nothing left to send (every endpoint was refused): the flow is already closed.
    if (batch.empty()) return;
    connect(std::move(host), std::move(batch), std::move(batchEndpoints));
}

std::string DNSProxyUDPFlow::localServer() const {
    if (providerConfig) {
        const auto& configured = providerConfig->providerConfig.dchpServers;
        if (!configured.empty()) return configured[randomIndex(configured.size())];
        const auto& computer = providerConfig->computerDNSServers;
        if (!computer.empty()) return computer[randomIndex(computer.size())];
    }
    return fallBackDCHP;
}

DNSProxyUDPFlow::Modified DNSProxyUDPFlow::modifyDNS(Datagram datagram,
                                                     const FlowConfiguration* config) const {
    if (!config) {
        log->debug("Missing provider config in modifyDNS");
        return {false, std::move(datagram), std::nullopt};
    }
    dnscodec::DNSMessageDecoder decoder;
    if (datagram.size() > UINT32_MAX ||
        !decoder.decodeMessageInBuffer(datagram.data(), static_cast<std::uint32_t>(datagram.size()))) {
        log->debug("Failed to decode sent message");
        return {false, std::move(datagram), std::nullopt};
    }
    auto& message = *decoder.message;
    auto decision = filterRule(config, config->providerConfig.externalIPAddress, message);
    if (decision && !decision->isDefault) return {false, std::move(datagram), std::move(decision)};

    // The additional section becomes the one OPT record of the configuration. It is
    // encoded once per configuration and appended here, which gives the same bytes
    // as encoding a record object per query, without building one.
    message.additionalRecords = std::vector<dnscodec::DNSResourceRecordPtr>{};
    std::vector<std::uint8_t> madeHere;
    if (config->optRecord.empty()) madeHere = encodeOPTRecord(config->clientIdentification);
    const auto& optRecord = config->optRecord.empty() ? madeHere : config->optRecord;
    Datagram encoded;
    encoded.reserve(datagram.size() + optRecord.size() + 16);
    if (!dnscodec::DNSMessageEncoder::append(message, encoded) ||
        encoded.size() + optRecord.size() > kMaxMessageSize) {
        // A query the encoder cannot write again goes out as it came.
        log->debug("Failed to encode modified message");
        return {false, std::move(datagram), std::move(decision)};
    }
    encoded.insert(encoded.end(), optRecord.begin(), optRecord.end());
    encoded[kAdditionalCountOffset] = 0;
    encoded[kAdditionalCountOffset + 1] = 1;
    return {true, std::move(encoded), std::move(decision)};
}

std::optional<FilterDecision> DNSProxyUDPFlow::filterRule(const FlowConfiguration* config,
                                                          std::string_view externalIP,
                                                          const dnscodec::DNSMessage& message) const {
    if (!config) {
        log->debug("No Device cofiguration so no filter rule");
        return std::nullopt;
    }
    const auto& rules = config->providerConfig.forwardingRules;
    if (rules.empty()) {
        log->debug("Device cofiguration exists but no forwarding rules exist");
        return std::nullopt;
    }
    auto result = filterManager.domainFilter(rules, externalIP, &message);
    if (!result) {
        logDebug(*log, [&] {
            return "creating a filter rule failed with exception (" + localizedDescription(result.error()) +
                   ")";
        });
        return std::nullopt;
    }
    return std::move(*result);
}

void DNSProxyUDPFlow::connect(std::string host, std::vector<Datagram> datagrams,
                              std::vector<NWEndpoint> endpoints) {
    // The pending reply deadline keeps the flow alive until its upstream ends, also
    // when the provider no longer lists it; the callbacks only look it up.
    std::weak_ptr<DNSProxyUDPFlow> weak = weak_from_this();
    auto connection = std::make_shared<DNSServerConnection>(
        std::move(datagrams), std::move(host), *log, std::move(endpoints),
        [weak](DNSServerConnection& c, std::optional<DNSServerConnection::Replies> replies,
               std::optional<NWError> error) {
            if (auto self = weak.lock()) self->writeDatagrams(c, std::move(replies), error);
        },
        DNSServerConnection::Context{settings_, queue_, receiveTimeCell_, weak});
    connection->endedCompletion = [weak](DNSServerConnection& c) {
        if (auto self = weak.lock()) self->finishUpstream(c);
    };
    repliesWritten_ = 0;
    if (connection->datagrams.size() > 1) {
        connection->replyArrived = [weak](DNSServerConnection& c, std::size_t index) {
            if (auto self = weak.lock()) self->writeReply(c, index);
        };
    }
    dnsServerConnection = connection;
    std::weak_ptr<DNSServerConnection> weakConnection = connection;
    connection->connection->setStateUpdateHandler(
        [weakConnection](const platform::ne::NWConnectionState& state) {
            if (auto c = weakConnection.lock()) c->stateDidChange(state);
        });
    connection->connection->start(queue_);
    connection->state = "started";
    connection->armDeadline();
}

void DNSProxyUDPFlow::writeDatagrams(DNSServerConnection& connection,
                                     std::optional<DNSServerConnection::Replies> replies,
                                     const std::optional<NWError>& error) {
    if (error) {
        logDebug(*log, [&] { return "Error receiving data " + error->localizedDescription(); });
        finishUpstream(connection);
        return;
    }
    if (!replies) {
        log->debug("Request complete, but no data");
        finishUpstream(connection);
        return;
    }
    // The connection is done with its endpoints; the replies passed on as they
    // arrived are not written twice.
    auto endpoints = std::move(connection.originalEndpionts);
    const std::size_t count = std::min(replies->size(), endpoints.size());
    const std::size_t first = std::min(repliesWritten_, count);
    replies->resize(count);
    endpoints.resize(count);
    replies->erase(replies->begin(), replies->begin() + static_cast<std::ptrdiff_t>(first));
    endpoints.erase(endpoints.begin(), endpoints.begin() + static_cast<std::ptrdiff_t>(first));
    auto keep = connection.shared_from_this();
    flow->writeDatagrams(std::move(*replies), std::move(endpoints),
                         [self = shared_from_this(), keep](std::optional<FlowError> writeError) {
                             if (writeError) {
                                 logDebug(*self->log, [&] {
                                     return "Error writing data " + writeError->localizedDescription();
                                 });
                             }
                             self->finishUpstream(*keep);
                         });
}

void DNSProxyUDPFlow::writeReply(DNSServerConnection& connection, std::size_t index) {
    if (dnsServerConnection.get() != &connection) return;
    // Replies pair with the batch's endpoints by position, in arrival order.
    if (index != repliesWritten_ || index >= connection.receivedData.size() ||
        index >= connection.originalEndpionts.size()) {
        return;
    }
    ++repliesWritten_;
    flow->writeDatagrams(
        {connection.receivedData[index]}, {connection.originalEndpionts[index]},
        [self = shared_from_this()](std::optional<FlowError> writeError) {
            if (!writeError) return;
            logDebug(*self->log, [&] { return "Error writing data " + writeError->localizedDescription(); });
        });
}

void DNSProxyUDPFlow::finishUpstream(DNSServerConnection& connection) {
    // Once per batch, however many completions arrive.
    if (dnsServerConnection.get() != &connection) return;
    auto keep = dnsServerConnection;
    // The handler goes first: the cancel this flow asks for is no news to it.
    if (connection.connection->hasStateUpdateHandler()) connection.connection->setStateUpdateHandler(nullptr);
    connection.connection->cancel();
    connection.requestCompletion = nullptr;
    connection.invalidate();
    close(std::nullopt);
    dnsServerConnection.reset();
    receiveTimeCell_->store(kNoUpstream, std::memory_order_relaxed);
}

void DNSProxyUDPFlow::close(std::optional<FlowError> error) {
    closed_ = true;
    flow->closeRead(error);
    flow->closeWrite(error);
    if (flowCompletion) {
        auto completion = std::move(flowCompletion);
        flowCompletion = nullptr;
        completion(*this, error);
    }
}

void DNSProxyUDPFlow::cancelIdleUpstream(std::int64_t now, std::int64_t limit) {
    asio::post(queue_, [self = shared_from_this(), now, limit] {
        if (!self->dnsServerConnection) return;
        if (now - self->dnsServerConnection->receiveTime() > limit)
            self->dnsServerConnection->connection->cancel();
    });
}

void DNSProxyUDPFlow::abandon() {
    asio::post(queue_, [self = shared_from_this()] {
        if (self->dnsServerConnection) {
            self->finishUpstream(*self->dnsServerConnection);
        } else {
            self->close(std::nullopt);
        }
    });
}

}  // namespace dnsproxy
