#include "dnsproxy/DNSServerConnection.hpp"

#include <algorithm>
#include <asio/post.hpp>
#include <atomic>
#include <cstring>
#include <random>

#include "dnsproxy/ProxyLog.hpp"
#include "platform/LogLimiter.hpp"
#include "platform/Recycled.hpp"

namespace dnsproxy {

using platform::ne::ContentContext;
using platform::ne::NWConnectionState;
using platform::ne::NWError;

namespace {

std::array<std::uint8_t, 16> randomUUID() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::array<std::uint8_t, 16> bytes;
    for (std::size_t i = 0; i < 16; i += 8) {
        const auto value = generator();
        for (std::size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<std::uint8_t>(value >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return bytes;
}

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint8_t kPointerBits = 0xC0;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::uint8_t kResponseBit = 0x80;  // QR, in the first flags byte
constexpr std::uint8_t kRcodeBits = 0x0F;    // in the second
constexpr std::uint8_t kNoError = 0;
constexpr std::uint8_t kNameError = 3;  // NXDOMAIN

std::atomic<std::uint64_t> strayCount{0};
// A forger sends many: the first drop is logged at once, the rest at most once per 10 s.
platform::LogLimiter strayLog;

std::uint16_t questionCount(std::span<const std::uint8_t> message) {
    return static_cast<std::uint16_t>(message[4] << 8 | message[5]);
}

std::uint8_t asciiLower(std::uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c;
}

}  // namespace

std::optional<std::size_t> questionEnd(std::span<const std::uint8_t> message) {
    if (message.size() < kHeaderSize) return std::nullopt;
    if (questionCount(message) == 0) return kHeaderSize;
    std::size_t at = kHeaderSize;
    while (true) {
        if (at >= message.size() || at - kHeaderSize >= kMaxNameLength) return std::nullopt;
        const std::uint8_t length = message[at];
        if ((length & kPointerBits) == kPointerBits) return std::nullopt;
        at += 1 + std::size_t{length};
        if (length == 0) break;
    }
    if (message.size() - at < 4) return std::nullopt;  // type and class
    return at + 4;
}

bool answersQuery(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply) {
    if (reply.size() < kHeaderSize || (reply[2] & kResponseBit) == 0) return false;
    if (query.size() < 2 || query[0] != reply[0] || query[1] != reply[1]) return false;  // id
    const auto queryEnd = questionEnd(query);
    // Sent as it came: the resolver's address and port, checked already, and the id
    // are all there is to go by.
    if (!queryEnd) return true;
    const auto replyEnd = questionEnd(reply);
    if (!replyEnd) return false;
    if (*replyEnd == kHeaderSize) {
        const std::uint8_t rcode = reply[3] & kRcodeBits;
        return *queryEnd == kHeaderSize || (rcode != kNoError && rcode != kNameError);
    }
    if (*queryEnd != *replyEnd) return false;
    // Nearly every resolver echoes the question byte for byte.
    if (std::memcmp(query.data() + kHeaderSize, reply.data() + kHeaderSize, *queryEnd - kHeaderSize) == 0) {
        return true;
    }
    // Label lengths, type and class compare exactly, the labels' bytes in any case.
    std::size_t at = kHeaderSize;
    const std::size_t nameEnd = *queryEnd - 4;
    while (at < nameEnd) {
        const std::size_t labelEnd = at + 1 + query[at];
        if (query[at] != reply[at]) return false;
        for (++at; at < labelEnd; ++at) {
            if (asciiLower(query[at]) != asciiLower(reply[at])) return false;
        }
    }
    return std::memcmp(query.data() + nameEnd, reply.data() + nameEnd, 4) == 0;
}

std::uint64_t DNSServerConnection::strayReplies() { return strayCount.load(std::memory_order_relaxed); }

template <typename Member, typename... Args>
void DNSServerConnection::callKept(Member DNSServerConnection::*member, Args&&... args) {
    auto running = std::move(this->*member);
    const auto invalidations = invalidations_;
    running(*this, std::forward<Args>(args)...);
    if (invalidations == invalidations_ && !(this->*member)) this->*member = std::move(running);
}

DNSServerConnection::DNSServerConnection(std::vector<Datagram> datagrams_, std::string host_,
                                         const platform::SystemLog& log_,
                                         std::vector<platform::ne::NWEndpoint> originalEndpoints,
                                         RequestCompletion requestCompletion_, Context context)
    : datagrams(std::move(datagrams_)),
      log(&log_),
      host(std::move(host_)),
      receivedData(platform::Recycled<Replies>::take()),
      answered(platform::Recycled<std::vector<std::uint32_t>>::take()),
      originalEndpionts(std::move(originalEndpoints)),
      requestCompletion(std::move(requestCompletion_)),
      context_(std::move(context)),
      receiveTimeCell_(context_.receiveTimeCell ? context_.receiveTimeCell
                                                : std::make_shared<ReceiveTimeCell>()),
      deadlines_(&ReplyDeadlines::of(context_.queue)) {
    receiveTimeCell_->store(context_.settings->clock->monotonic().count(), std::memory_order_relaxed);
    connection = context_.settings->connectionFactory(host, context_.settings->upstreamPort);
}

DNSServerConnection::~DNSServerConnection() {
    if (armedUntil_) deadlines_->cancel(*this);
    // The batch's memory serves the next queries of whichever thread ends it.
    platform::recycleAll(std::move(datagrams));
    platform::recycleAll(std::move(receivedData));
    platform::Recycled<std::vector<std::uint32_t>>::give(std::move(answered));
    platform::Recycled<std::vector<ReplyLimit>>::give(std::move(replyLimits));
    platform::Recycled<std::vector<platform::ne::NWEndpoint>>::give(std::move(originalEndpionts));
}

std::string DNSServerConnection::uuid() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    if (!uuid_) uuid_ = randomUUID();
    const auto& uuid = *uuid_;
    std::string text;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[uuid[i] >> 4]);
        text.push_back(digits[uuid[i] & 0x0F]);
    }
    return text;
}

void DNSServerConnection::stateDidChange(const NWConnectionState& newState) {
    using Kind = NWConnectionState::Kind;
    const auto describe = [&] {
        return newState.error ? newState.error->localizedDescription() : std::string();
    };
    switch (newState.kind) {
        case Kind::waiting:
            logDebug(*log, [&] {
                return "Connection State Error opening connection -- waiting : (" + describe() + ")";
            });
            if (newState.error) handleError(*newState.error, *connection);
            state = "waiting";
            break;
        case Kind::failed:
            logDebug(*log, [&] { return "Connection state error opening connection: (" + describe() + ")"; });
            state = "failed";
            connection->cancel();
            break;
        case Kind::setup:
            log->debug("Connection state changed to setup");
            state = "setup";
            break;
        case Kind::preparing:
            log->debug("Connection state changed to preparing");
            state = "preparing";
            break;
        case Kind::ready:
            log->debug("Connection State connection ready");
            state = "ready";
            connection->batch([this] { sendDatagrams(); });
            break;
        case Kind::cancelled: {
            log->debug("Connection state changed to cancelled");
            state = "cancelled";
            connection->cancelCurrentEndpoint();
            // Only a cancel that the flow did not ask for reaches here (the flow
            // clears the handler first): the flow must still end.
            auto ended = std::move(endedCompletion);
            endedCompletion = nullptr;
            if (ended) ended(*this);
            break;
        }
    }
}

void DNSServerConnection::handleError(const NWError& error, platform::ne::NWConnection& target) {
    switch (error.kind()) {
        case NWError::Kind::posix:
            logDebug(*log, [&] { return "Posix error : (" + error.localizedDescription() + ")"; });
            target.cancel();
            state = "posix restart";
            break;
        case NWError::Kind::dns:
            if (static_cast<std::uint32_t>(error.code()) > 1) {
                logDebug(*log,
                         [&] { return "Restarting connection : (" + std::to_string(error.code()) + ")"; });
                target.restart();
                state = "dns restart";
            } else {
                logDebug(*log, [&] {
                    return "Cancelling connection on error type : (" + std::to_string(error.code()) + ")";
                });
                target.cancel();
                state = "dns cancel";
            }
            break;
        case NWError::Kind::tls:
            logDebug(*log, [&] { return "Network error : (" + error.localizedDescription() + ")"; });
            target.cancel();
            state = "default cancel";
            break;
    }
    errorsOnWaiting += 1;
    if (errorsOnWaiting >= maxErrorCount) {
        connection->restart();
        state = "restarting";
        errorsOnWaiting = 0;
    }
}

void DNSServerConnection::sendDatagrams() {
    if (datagrams.empty()) return;
    const Datagram& last = datagrams.back();
    for (const auto& datagram : datagrams) {
        const bool final = datagram == last;
        std::weak_ptr<DNSServerConnection> weak = weak_from_this();
        // The query stays here for matching its reply; the copy sent is made in
        // memory this thread gave back earlier.
        auto copy = platform::Recycled<Datagram>::take();
        copy.assign(datagram.begin(), datagram.end());
        connection->send(std::move(copy),
                         final ? ContentContext::finalMessage : ContentContext::defaultMessage, final,
                         [weak](std::optional<NWError> error) {
                             if (auto self = weak.lock()) self->sendCompleted(error);
                         });
    }
}

void DNSServerConnection::sendCompleted(const std::optional<NWError>& error) {
    if (!error) {
        state = "ready to receive";
        receive();
        return;
    }
    logDebug(*log, [&] {
        const char* prefix = error->kind() == NWError::Kind::posix ? "Posix Error sending data: ("
                             : error->kind() == NWError::Kind::dns ? "DNS Error sending data: ("
                                                                   : "TLS Error sending data: (";
        return prefix + error->debugDescription() + ")";
    });
    state = "data sent but error";
    if (requestCompletion) callKept(&DNSServerConnection::requestCompletion, std::nullopt, error);
}

void DNSServerConnection::receive() {
    state = "calling received";
    receiveTimeCell_->store(context_.settings->clock->monotonic().count(), std::memory_order_relaxed);
    // The deadline runs from the latest receive. Every receive of a batch follows its
    // connect within moments, so the wait armed at the start is kept unless it has
    // run down noticeably (after a restart or a long wait for a route): re-arming
    // costs a timer cancel and a new one, twice per query.
    const auto full =
        std::chrono::duration_cast<ReplyDeadlines::Clock::duration>(context_.settings->replyDeadline);
    // Read from this side: a deadline that has passed meanwhile is re-armed all the same.
    if (!armedUntil_ || *armedUntil_ - ReplyDeadlines::Clock::now() < full - full / 8) armDeadline();
    issueReceive();
    state = "past calling received";
}

void DNSServerConnection::issueReceive() {
    std::weak_ptr<DNSServerConnection> weak = weak_from_this();
    connection->receiveMessage([weak](std::optional<Datagram> content, std::optional<ContentContext>, bool,
                                      std::optional<NWError> error) {
        if (auto self = weak.lock()) self->receiveCompleted(std::move(content), error);
    });
}

std::optional<std::uint32_t> DNSServerConnection::outstandingQueryFor(const Datagram& reply) const {
    for (std::uint32_t i = 0; i < datagrams.size(); ++i) {
        if (!answersQuery(datagrams[i], reply)) continue;
        // The same query twice in a batch takes two replies.
        if (std::find(answered.begin(), answered.end(), i) == answered.end()) return i;
    }
    return std::nullopt;
}

void DNSServerConnection::dropStray() {
    const auto count = strayCount.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!strayLog.allow(context_.settings->clock->monotonic())) return;
    log->notice("Dropped a reply from " + host + " that answers no outstanding query (" +
                std::to_string(count) + " dropped so far)");
}

void DNSServerConnection::receiveCompleted(std::optional<Datagram> content,
                                           const std::optional<NWError>& error) {
    state = "past calling received";
    if (error) {
        state = "received failed with error";
        logDebug(*log,
                 [&] { return "Cancelling connection cause of error: (" + error->debugDescription() + ")"; });
        if (requestCompletion) callKept(&DNSServerConnection::requestCompletion, std::nullopt, error);
        return;
    }
    state = "received data";
    if (complete_) return;
    if (!content) {
        log->debug("Received data is nil");
    } else {
        const auto query = outstandingQueryFor(*content);
        if (!query) {
            // Not the answer: its query still waits for one. The deadline is not
            // renewed, so a stream of forgeries cannot hold the flow open.
            dropStray();
            issueReceive();
            return;
        }
        receivedData.push_back(std::move(*content));
        answered.push_back(*query);
    }
    if (receivedData.size() == datagrams.size()) {
        complete_ = true;
        if (requestCompletion) {
            state = "all data received";
            // The replies are handed over: nothing here reads them again.
            callKept(&DNSServerConnection::requestCompletion, std::move(receivedData), std::nullopt);
        }
        return;
    }
    state = "awaiting more data";
    logDebug(*log, [&] {
        return "Waiting for more data to receive, pending datagrams:(" +
               std::to_string(static_cast<long long>(datagrams.size()) -
                              static_cast<long long>(receivedData.size())) +
               ")";
    });
    if (content && replyArrived) callKept(&DNSServerConnection::replyArrived, receivedData.size() - 1);
}

void DNSServerConnection::armDeadline() {
    const auto length =
        std::chrono::duration_cast<ReplyDeadlines::Clock::duration>(context_.settings->replyDeadline);
    armedUntil_ = ReplyDeadlines::Clock::now() + length;
    deadlines_->arm(*this, *armedUntil_, length, context_.owner.lock());
}

void DNSServerConnection::deadlineExpired(std::shared_ptr<void> owner) {
    asio::post(context_.queue, [weak = weak_from_this(), owner = std::move(owner)] {
        if (auto self = weak.lock()) self->deadlinePassed();
    });
}

void DNSServerConnection::deadlinePassed() {
    if (!endedCompletion && !requestCompletion) return;
    log->debug("No reply from the upstream server in time, cancelling the connection");
    // Ended here, while the pending deadline still holds the flow.
    auto ended = std::move(endedCompletion);
    endedCompletion = nullptr;
    connection->cancel();
    if (ended) ended(*this);
}

void DNSServerConnection::invalidate() {
    ++invalidations_;
    requestCompletion = nullptr;
    endedCompletion = nullptr;
    replyArrived = nullptr;
    deadlines_->cancel(*this);
    armedUntil_.reset();
}

}  // namespace dnsproxy
