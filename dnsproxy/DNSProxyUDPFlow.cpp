#include "dnsproxy/DNSProxyUDPFlow.hpp"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <cstdio>
#include <cstring>

#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnsproxy/ClientIdentificationOption.hpp"
#include "dnsproxy/ProxyLog.hpp"
#include "dnsproxy/RandomIndex.hpp"
#include "platform/Recycled.hpp"

namespace dnsproxy {

using platform::ne::FlowError;
using platform::ne::NWEndpoint;
using platform::ne::NWError;

namespace {
// The largest UDP payload over IPv4: 65535 less the 20-byte IP and 8-byte UDP
// headers (IPv6 carries 20 more). A tagged query longer than this could not be sent.
constexpr std::size_t kMaxUDPPayload = 65535 - 20 - 8;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kFlagsOffset = 2;
constexpr std::uint8_t kTruncatedBit = 0x02;
constexpr std::size_t kQuestionCountOffset = 4;
constexpr std::size_t kAdditionalCountOffset = 10;  // in the 12-byte header
constexpr std::uint16_t kOPTType = 41;
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxNameWire = 255;  // root byte included
constexpr std::uint8_t kZBit = 0x40;       // in the second flags byte; the codec keeps no place for it

std::uint16_t load16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

// The reading of readPlainQuery; the name is written out only when asked for (a
// configuration without forwarding rules never reads it).
std::optional<PlainQuery> readPlain(std::span<const std::uint8_t> query, std::string* name) {
    if (name) name->clear();
    const std::size_t size = query.size();
    if (size < kHeaderSize) return std::nullopt;
    const std::uint8_t* bytes = query.data();
    if (load16(bytes + 4) != 1 || load16(bytes + 6) != 0 || load16(bytes + 8) != 0) return std::nullopt;
    std::size_t at = kHeaderSize;
    std::size_t wire = 1;
    while (true) {
        if (at >= size) return std::nullopt;
        const std::size_t length = bytes[at];
        if (length == 0) break;
        // Pointers and the longer label lengths the decoder also takes are left to it.
        if (length > kMaxLabel || size - at - 1 < length) return std::nullopt;
        const auto* label = reinterpret_cast<const char*>(bytes + at + 1);
        if (std::memchr(label, '.', length) != nullptr) return std::nullopt;
        wire += length + 1;
        if (wire > kMaxNameWire) return std::nullopt;
        if (name) {
            if (!name->empty()) name->push_back('.');
            name->append(label, length);
        }
        at += 1 + length;
    }
    if (name && name->empty()) *name = ".";
    if (size - at - 1 < 4) return std::nullopt;  // type and class
    PlainQuery plain{at + 1 + 4, {}};
    bool sawOPT = false;
    at = plain.questionEnd;
    for (std::uint16_t i = load16(bytes + kAdditionalCountOffset); i > 0; --i) {
        // Records owned by the root name alone: other names are the decoder's to read.
        if (at >= size || bytes[at] != 0) return std::nullopt;
        if (size - at - 1 < 10) return std::nullopt;
        const std::uint8_t* fixed = bytes + at + 1;
        const std::size_t dataLength = load16(fixed + 8);
        if (size - at - 11 < dataLength) return std::nullopt;
        if (!sawOPT && load16(fixed) == kOPTType) {
            sawOPT = true;
            plain.replyLimit = {std::max(DNSProxyUDPFlow::kClassicReplyLimit, load16(fixed + 2)), true};
        }
        at += 11 + dataLength;
    }
    return plain;
}

}  // namespace

std::optional<PlainQuery> readPlainQuery(std::span<const std::uint8_t> query, std::string& name) {
    return readPlain(query, &name);
}

namespace {

// Just past the name at `at` (labels, ending in the root or a pointer); absent when
// it runs off the message.
std::optional<std::size_t> skipName(std::span<const std::uint8_t> message, std::size_t at) {
    while (at < message.size()) {
        const std::uint8_t length = message[at];
        if ((length & 0xC0) == 0xC0) return at + 2 <= message.size() ? std::optional(at + 2) : std::nullopt;
        if ((length & 0xC0) != 0) return std::nullopt;
        at += 1 + std::size_t{length};
        if (length == 0) return at;
    }
    return std::nullopt;
}

// The OPT record a cut reply ends with: the reply's own payload size, extended
// rcode, version and flags, so that what the resolver said of its EDNS (a BADVERS,
// say) still reaches the client, but not its options, which belong to the whole
// reply; a made one when the reply has none or does not parse that far.
std::array<std::uint8_t, 11> replyOPT(std::span<const std::uint8_t> reply, std::size_t questionEnd) {
    std::array<std::uint8_t, 11> opt = {
        0, 0, kOPTType, kTruncatedReplyPayload >> 8, kTruncatedReplyPayload & 0xFF, 0, 0, 0, 0, 0, 0};
    if (questionEnd <= kHeaderSize || reply.size() < kHeaderSize) return opt;
    const std::size_t answers = load16(reply.data() + 6) + std::size_t{load16(reply.data() + 8)};
    const std::size_t records = answers + load16(reply.data() + kAdditionalCountOffset);
    std::size_t at = questionEnd;
    for (std::size_t i = 0; i < records; ++i) {
        const auto fixed = skipName(reply, at);
        if (!fixed || reply.size() - *fixed < 10) return opt;
        const std::uint8_t* bytes = reply.data() + *fixed;
        const std::size_t dataLength = load16(bytes + 8);
        if (reply.size() - *fixed - 10 < dataLength) return opt;
        if (i >= answers && load16(bytes) == kOPTType) {
            std::copy(bytes + 2, bytes + 8, opt.begin() + 3);  // class (the payload size) and TTL
            return opt;
        }
        at = *fixed + 10 + dataLength;
    }
    return opt;
}

}  // namespace

bool truncateReply(Datagram& reply, ReplyLimit limit) {
    if (reply.size() <= limit.bytes) return false;
    // A reply to a query sent as it came may not parse: its header goes alone.
    const auto end = questionEnd(reply).value_or(kHeaderSize);
    std::array<std::uint8_t, 11> opt{};
    if (limit.edns) opt = replyOPT(reply, end);
    reply.resize(end);
    reply[kFlagsOffset] |= kTruncatedBit;
    reply[kQuestionCountOffset] = 0;
    reply[kQuestionCountOffset + 1] = end > kHeaderSize ? 1 : 0;
    std::fill(reply.begin() + kQuestionCountOffset + 2, reply.begin() + kHeaderSize, 0);
    if (limit.edns) {
        reply.insert(reply.end(), opt.begin(), opt.end());
        reply[kAdditionalCountOffset + 1] = 1;
    }
    return true;
}

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
      receiveTimeCell_(platform::makePooled<ReceiveTimeCell>(kNoUpstream)) {}

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
    flow->readDatagrams([self = shared_from_this()](std::optional<std::vector<Datagram>> datagrams,
                                                    std::optional<std::vector<NWEndpoint>> endpoints,
                                                    std::optional<FlowError> error) {
        self->handleBatch(std::move(datagrams), std::move(endpoints), error);
    });
}

void DNSProxyUDPFlow::handleBatch(std::optional<std::vector<Datagram>> datagrams,
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
    // `kept`, with its endpoint beside it. Nearly every batch goes to one resolver:
    // a list of hosts is made only once two differ.
    auto& batch = *datagrams;
    auto& batchEndpoints = *endpoints;
    batchEndpoints.resize(batch.size());
    if (!providerConfig || providerConfig->providerConfig.resolvers.empty()) {
        log->debug("Missing default host resolver");
        close(std::nullopt);
        return;
    }
    // The configuration's resolver, read where it is kept (the flow holds the
    // configuration): a batch that goes to it copies no text.
    const std::string& host = providerConfig->providerConfig.resolvers.front();
    auto limits = platform::Recycled<std::vector<ReplyLimit>>::take();
    limits.reserve(batch.size());
    std::string batchHost;
    std::vector<std::string> hosts;
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
        auto chosen = hostFor(modified.decision, host);
        if (kept == 0) {
            batchHost = std::move(chosen);
        } else if (!hosts.empty() || chosen != batchHost) {
            if (hosts.empty()) hosts.assign(kept, batchHost);
            hosts.push_back(std::move(chosen));
        }
        batch[kept] = std::move(modified.datagram);
        limits.push_back(modified.replyLimit);
        if (kept != i) batchEndpoints[kept] = endpoint;
        ++kept;
    }
    batch.resize(kept);
    batchEndpoints.resize(kept);
    // Nothing left to send (every endpoint was refused): the flow is already closed.
    if (batch.empty()) return;
    if (hosts.empty()) {
        connect(std::move(batchHost), std::move(batch), std::move(batchEndpoints), std::move(limits));
    } else {
        connectEach(std::move(hosts), std::move(batch), std::move(batchEndpoints), std::move(limits));
    }
}

std::string DNSProxyUDPFlow::hostFor(const std::optional<FilterDecision>& decision,
                                     const std::string& defaultHost) const {
    if (decision && decision->resolver) return *decision->resolver;
    if (decision && !decision->isDefault) return localServer();
    return defaultHost;
}

void DNSProxyUDPFlow::connectEach(std::vector<std::string> hosts, std::vector<Datagram> datagrams,
                                  std::vector<NWEndpoint> endpoints, std::vector<ReplyLimit> limits) {
    std::vector<bool> sent(hosts.size(), false);
    for (std::size_t first = 0; first < hosts.size(); ++first) {
        if (sent[first]) continue;
        std::vector<Datagram> group;
        std::vector<NWEndpoint> groupEndpoints;
        std::vector<ReplyLimit> groupLimits;
        for (std::size_t i = first; i < hosts.size(); ++i) {
            if (sent[i] || hosts[i] != hosts[first]) continue;
            sent[i] = true;
            group.push_back(std::move(datagrams[i]));
            groupEndpoints.push_back(std::move(endpoints[i]));
            groupLimits.push_back(limits[i]);
        }
        connect(std::move(hosts[first]), std::move(group), std::move(groupEndpoints), std::move(groupLimits));
    }
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
    // Nearly every query is one plain question: its tagged form is made from its own
    // bytes, the same bytes the decoder and encoder would give, without either.
    thread_local std::string questionName;
    const bool ruled = !config->providerConfig.forwardingRules.empty();
    if (!ruled) questionName.clear();
    if (const auto plain = readPlain(datagram, ruled ? &questionName : nullptr)) {
        auto decision = filterRule(config, config->providerConfig.externalIPAddress, questionName);
        if (decision && !decision->isDefault) {
            return {false, std::move(datagram), std::move(decision), plain->replyLimit};
        }
        std::vector<std::uint8_t> madeHere;
        if (config->optRecord.empty()) madeHere = encodeOPTRecord(config->clientIdentification);
        const auto& optRecord = config->optRecord.empty() ? madeHere : config->optRecord;
        // Made in memory an earlier query of this thread gave back, and the client's
        // own bytes given back in turn.
        auto encoded = platform::Recycled<Datagram>::take();
        encoded.reserve(plain->questionEnd + optRecord.size());
        encoded.insert(encoded.end(), datagram.begin(),
                       datagram.begin() + static_cast<std::ptrdiff_t>(plain->questionEnd));
        encoded.insert(encoded.end(), optRecord.begin(), optRecord.end());
        encoded[kFlagsOffset + 1] &= static_cast<std::uint8_t>(~kZBit);
        encoded[kAdditionalCountOffset] = 0;
        encoded[kAdditionalCountOffset + 1] = 1;
        platform::Recycled<Datagram>::give(std::move(datagram));
        return {true, std::move(encoded), std::move(decision), plain->replyLimit};
    }
    dnscodec::DNSMessageDecoder decoder;
    if (datagram.size() > UINT32_MAX ||
        !decoder.decodeMessageInBuffer(datagram.data(), static_cast<std::uint32_t>(datagram.size()))) {
        log->debug("Failed to decode sent message");
        return {false, std::move(datagram), std::nullopt};
    }
    auto& message = *decoder.message;
    // The client's own OPT record says how much it takes, at least the classic 512.
    ReplyLimit replyLimit;
    if (message.additionalRecords) {
        for (const auto& record : *message.additionalRecords) {
            if (record && record->type == kOPTType) {
                replyLimit = {std::max(kClassicReplyLimit, record->resourceClass), true};
                break;
            }
        }
    }
    auto decision = filterRule(config, config->providerConfig.externalIPAddress, message);
    if (decision && !decision->isDefault) {
        return {false, std::move(datagram), std::move(decision), replyLimit};
    }

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
        encoded.size() + optRecord.size() > kMaxUDPPayload) {
        // A query the encoder cannot write again, or that the record would make too
        // long for a datagram, goes out as it came.
        log->debug("Failed to encode modified message");
        return {false, std::move(datagram), std::move(decision), replyLimit};
    }
    encoded.insert(encoded.end(), optRecord.begin(), optRecord.end());
    encoded[kAdditionalCountOffset] = 0;
    encoded[kAdditionalCountOffset + 1] = 1;
    return {true, std::move(encoded), std::move(decision), replyLimit};
}

std::optional<FilterDecision> DNSProxyUDPFlow::filterRule(const FlowConfiguration* config,
                                                          std::string_view externalIP,
                                                          const dnscodec::DNSMessage& message) const {
    std::string_view name;
    if (message.questions && !message.questions->empty() && message.questions->front() &&
        message.questions->front()->name) {
        name = *message.questions->front()->name;
    }
    return filterRule(config, externalIP, name);
}

std::optional<FilterDecision> DNSProxyUDPFlow::filterRule(const FlowConfiguration* config,
                                                          std::string_view externalIP,
                                                          std::string_view questionName) const {
    if (!config) {
        log->debug("No Device cofiguration so no filter rule");
        return std::nullopt;
    }
    const auto& rules = config->providerConfig.forwardingRules;
    if (rules.empty()) {
        log->debug("Device cofiguration exists but no forwarding rules exist");
        return std::nullopt;
    }
    // What the rules' address texts say of the configuration's own address was
    // worked out with the configuration.
    const auto* addressMatches =
        externalIP == config->providerConfig.externalIPAddress ? &config->ruleAddressMatches : nullptr;
    auto result = filterManager.domainFilter(rules, externalIP, questionName, addressMatches);
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
                              std::vector<NWEndpoint> endpoints, std::vector<ReplyLimit> limits) {
    // The pending reply deadline keeps the flow alive until its upstream ends, also
    // when the provider no longer lists it; the callbacks only look it up.
    std::weak_ptr<DNSProxyUDPFlow> weak = weak_from_this();
    auto connection = platform::makePooled<DNSServerConnection>(
        std::move(datagrams), std::move(host), *log, std::move(endpoints),
        [weak](DNSServerConnection& c, std::optional<DNSServerConnection::Replies> replies,
               std::optional<NWError> error) {
            if (auto self = weak.lock()) self->writeDatagrams(c, std::move(replies), error);
        },
        DNSServerConnection::Context{settings_, queue_, receiveTimeCell_, weak});
    connection->endedCompletion = [weak](DNSServerConnection& c) {
        if (auto self = weak.lock()) self->finishUpstream(c);
    };
    connection->replyLimits = std::move(limits);
    if (connection->datagrams.size() > 1) {
        connection->replyArrived = [weak](DNSServerConnection& c, std::size_t index) {
            if (auto self = weak.lock()) self->writeReply(c, index);
        };
    }
    dnsServerConnections.push_back(connection);
    std::weak_ptr<DNSServerConnection> weakConnection = connection;
    connection->connection->setStateUpdateHandler(
        [weakConnection](const platform::ne::NWConnectionState& state) {
            if (auto c = weakConnection.lock()) c->stateDidChange(state);
        });
    connection->connection->start(queue_);
    connection->state = "started";
    connection->armDeadline();
}

bool DNSProxyUDPFlow::ownsUpstream(const DNSServerConnection& connection) const {
    return std::any_of(dnsServerConnections.begin(), dnsServerConnections.end(),
                       [&](const DNSServerConnectionPtr& c) { return c.get() == &connection; });
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
    // Each reply goes to the endpoint of the query it answers; those passed on as
    // they arrived are not written twice.
    std::vector<Datagram> toWrite;
    std::vector<NWEndpoint> endpoints;
    const std::size_t count = std::min(replies->size(), connection.answered.size());
    // Nearly always one query with its one reply: its lists go out as they are.
    if (count == 1 && replies->size() == 1 && connection.repliesPassedOn == 0 &&
        connection.answered[0] == 0 && connection.originalEndpionts.size() == 1) {
        if (!connection.replyLimits.empty()) truncateReply(replies->front(), connection.replyLimits[0]);
        toWrite = std::move(*replies);
        endpoints = std::move(connection.originalEndpionts);
    }
    for (std::size_t i = toWrite.empty() ? connection.repliesPassedOn : count; i < count; ++i) {
        const auto query = connection.answered[i];
        if (query >= connection.originalEndpionts.size()) continue;
        auto& reply = (*replies)[i];
        if (query < connection.replyLimits.size()) truncateReply(reply, connection.replyLimits[query]);
        toWrite.push_back(std::move(reply));
        endpoints.push_back(std::move(connection.originalEndpionts[query]));
    }
    auto keep = connection.shared_from_this();
    flow->writeDatagrams(std::move(toWrite), std::move(endpoints),
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
    // In arrival order, each once.
    if (index != connection.repliesPassedOn || index >= connection.receivedData.size() ||
        index >= connection.answered.size() || !ownsUpstream(connection)) {
        return;
    }
    const auto query = connection.answered[index];
    if (query >= connection.originalEndpionts.size()) return;
    ++connection.repliesPassedOn;
    Datagram reply = connection.receivedData[index];
    if (query < connection.replyLimits.size()) truncateReply(reply, connection.replyLimits[query]);
    flow->writeDatagrams(
        {std::move(reply)}, {connection.originalEndpionts[query]},
        [self = shared_from_this()](std::optional<FlowError> writeError) {
            if (!writeError) return;
            logDebug(*self->log, [&] { return "Error writing data " + writeError->localizedDescription(); });
        });
}

void DNSProxyUDPFlow::finishUpstream(DNSServerConnection& connection) {
    // Once per connection, however many completions arrive.
    const auto found = std::find_if(dnsServerConnections.begin(), dnsServerConnections.end(),
                                    [&](const DNSServerConnectionPtr& c) { return c.get() == &connection; });
    if (found == dnsServerConnections.end()) return;
    auto keep = *found;
    // The handler goes first: the cancel this flow asks for is no news to it.
    if (connection.connection->hasStateUpdateHandler()) connection.connection->setStateUpdateHandler(nullptr);
    connection.connection->cancel();
    connection.requestCompletion = nullptr;
    connection.invalidate();
    dnsServerConnections.erase(found);
    // The flow ends with its last upstream.
    if (!dnsServerConnections.empty()) return;
    close(std::nullopt);
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
        // The connections share one receive time: the flow is idle when none asked lately.
        for (const auto& connection : std::vector(self->dnsServerConnections)) {
            if (now - connection->receiveTime() > limit) connection->connection->cancel();
        }
    });
}

void DNSProxyUDPFlow::abandon() {
    asio::post(queue_, [self = shared_from_this()] {
        if (self->dnsServerConnections.empty()) {
            self->close(std::nullopt);
            return;
        }
        for (const auto& connection : std::vector(self->dnsServerConnections)) {
            self->finishUpstream(*connection);
        }
    });
}

}  // namespace dnsproxy
