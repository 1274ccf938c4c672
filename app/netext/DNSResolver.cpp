#include "app/netext/DNSResolver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>

#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "platform/Dispatch.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace kiv {
namespace {

constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kClassIN = 1;
// The answer buffer of the system's resolver: a longer answer is not one we asked for.
constexpr std::size_t kMaxAnswer = 512;
constexpr std::int64_t kCallsPerWindow = 4;
constexpr auto kWindow = std::chrono::seconds(3600);

constexpr std::chrono::milliseconds kEchoWaitMargin{1000};
constexpr std::chrono::milliseconds kMainThreadSlice{50};

platform::HTTPClientPtr echoClient() {
    static platform::NoDestructor<platform::HTTPClientPtr> client(platform::makeHTTPClient());
    return *client;
}

// On the main thread its loop keeps turning, so work the reply waits for is not held up.
bool waitForReply(platform::Semaphore& done, std::chrono::milliseconds limit) {
    if (!platform::isMainThread()) return done.waitFor(limit);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) return false;
        if (done.waitFor(std::min(left, kMainThreadSlice))) return true;
        platform::runMainLoopOnce(std::chrono::milliseconds::zero());
    }
}

// The body as ASCII text, blanks and tabs trimmed at both ends; "" when a byte is not ASCII.
std::string asciiTrimmed(const std::string& body) {
    if (std::any_of(body.begin(), body.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7f; }))
        return "";
    const auto first = body.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return body.substr(first, body.find_last_not_of(" \t") - first + 1);
}

std::uint16_t randomID() {
    std::uint16_t id = 0;
    if (::getrandom(&id, sizeof(id), 0) != static_cast<ssize_t>(sizeof(id))) {
        id = static_cast<std::uint16_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return id;
}

// Names compare without letter case and without a final dot.
std::string canonicalName(std::string name) {
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

std::optional<dnscodec::Bytes> buildQuery(std::uint16_t id, const std::string& host) {
    dnscodec::DNSMessage message;
    message.header.id = id;
    message.header.isQuery = true;
    message.header.recursionDesired = true;
    auto question = std::make_shared<dnscodec::DNSQuestion>();
    question->name = host;
    question->type = kTypeA;
    question->questionClass = kClassIN;
    message.questions = std::vector<dnscodec::DNSQuestionPtr>{question};
    return dnscodec::DNSMessageEncoder::encode(message);
}

enum class Answer { notOurs, unusable, address };

// Whether `bytes` answers our question, and the address when it does: the first IN A record
// decides, and its data must be exactly four bytes.
Answer readAnswer(const std::uint8_t* bytes, std::size_t length, std::uint16_t id, const std::string& host,
                  std::string& address) {
    if (length < 12 || dnscodec::loadUInt16(bytes) != id || !(bytes[2] & 0x80)) return Answer::notOurs;
    if (length > kMaxAnswer) return Answer::unusable;
    dnscodec::DNSMessageDecoder decoder;
    if (!decoder.decodeMessageInBuffer(bytes, static_cast<std::uint32_t>(length))) return Answer::unusable;
    const auto& message = *decoder.message;
    const auto& questions = message.questions;
    if (!questions || questions->size() != 1 || !(*questions)[0]->name ||
        canonicalName(*(*questions)[0]->name) != canonicalName(host) || (*questions)[0]->type != kTypeA ||
        (*questions)[0]->questionClass != kClassIN) {
        return Answer::notOurs;
    }
    if (message.header.truncated || message.header.responseCode != 0 || !message.answers)
        return Answer::unusable;
    for (const auto& record : *message.answers) {
        if (!record || record->type != kTypeA || record->resourceClass != kClassIN) continue;
        if (!record->data || record->data->size() != 4) return Answer::unusable;
        std::array<char, INET_ADDRSTRLEN> text{};
        if (!::inet_ntop(AF_INET, record->data->data(), text.data(), text.size())) return Answer::unusable;
        address = text.data();
        return Answer::address;
    }
    return Answer::unusable;
}

// One query to `server`; "" when no usable answer came.
std::string ask(const sockaddr_in& server, const std::string& host, const ExternalAddressQuery& options) {
    const std::uint16_t id = randomID();
    const auto query = buildQuery(id, host);
    if (!query) return {};
    platform::FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return {};
    // Connected: the kernel drops datagrams from anyone but the server.
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server), sizeof(server)) < 0) return {};
    std::vector<std::uint8_t> buffer(65536);  // the largest datagram; off the caller's stack
    for (int attempt = 0; attempt < std::max(1, options.attempts); ++attempt) {
        if (::send(fd.get(), query->data(), query->size(), 0) < 0) return {};
        const auto deadline = std::chrono::steady_clock::now() + options.timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd wait{fd.get(), POLLIN, 0};
            const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_TRUNC);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return {};  // refused: nobody serves DNS there
            }
            std::string address;
            // MSG_TRUNC gives the datagram's real length: an over-long one is refused whole.
            const auto length = static_cast<std::size_t>(got);
            if (length > buffer.size()) return {};
            switch (readAnswer(buffer.data(), length, id, host, address)) {
                case Answer::notOurs:
                    continue;
                case Answer::unusable:
                    return {};
                case Answer::address:
                    return address;
            }
        }
    }
    return {};
}

}  // namespace

DNSResolver::DNSResolver(Key, platform::ResolverState state, platform::ClockPtr clock)
    : state_(std::move(state)), clock_(std::move(clock)) {}

DNSResolverPtr DNSResolver::create(const platform::ResolverConfigPaths& paths, platform::ClockPtr clock) {
    auto state = platform::ResolverState::load(paths);
    if (!state) return nullptr;
    return std::make_unique<DNSResolver>(Key{}, std::move(*state), std::move(clock));
}

std::vector<std::string> DNSResolver::getDNSAddresses() const { return state_.servers(); }

std::string DNSResolver::getIPAddressFromResolvers(const std::vector<std::string>& resolvers,
                                                   const std::string& host,
                                                   const ExternalAddressQuery& query) {
    if (resolvers.empty()) {
        platform::nsLog("Resolve with empty resolvers");
        return {};
    }
    std::string result;
    const auto chosen =
        std::find_if(resolvers.begin(), resolvers.end(), [](const auto& r) { return !r.empty(); });
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(query.port);
    if (chosen != resolvers.end() && ::inet_pton(AF_INET, chosen->c_str(), &server.sin_addr) == 1) {
        result = ask(server, host, query);
    }
    if (result.empty()) {
        platform::nsLog("Empty IP Address");
    } else {
        platform::nsLog("External ip from ns_parserr:  " + result);
    }
    return result;
}

std::string DNSResolver::resolveDNSUsingCorvel(const std::vector<std::string>& resolvers,
                                               const ExternalAddressQuery& query) {
    return getIPAddressFromResolvers(resolvers, "-.-", query);
}

std::string DNSResolver::pingNonCorvelResolver(const std::vector<std::string>& resolvers,
                                               const AddressEchoService& service) {
    if (resolvers.empty()) return "";
    platform::HTTPRequest request;
    request.url = service.url;
    request.headers = {{"Content-Type", "application/json"}};
    request.timeout = service.timeout;
    request.maxResponseBytes = AddressEchoService::kMaxBody;
    struct Reply {
        platform::Semaphore done;
        std::mutex mutex;
        std::optional<std::string> body;  // guarded by mutex
    };
    auto reply = std::make_shared<Reply>();
    const auto client = service.client ? service.client : echoClient();
    client->send(std::move(request), platform::globalQueue(), [reply](platform::HTTPResult result) {
        {
            std::lock_guard lock(reply->mutex);
            if (result.response) reply->body = std::move(result.response->body);
        }
        reply->done.signal();
    });
    // The client always completes once its timeout passed; the margin only keeps a lost
    // completion from holding the caller for ever.
    if (!waitForReply(reply->done, service.timeout + kEchoWaitMargin)) return "";
    std::lock_guard lock(reply->mutex);
    if (!reply->body) return "";
    return asciiTrimmed(*reply->body);
}

void DNSResolver::updateCountAndDate() {
    std::lock_guard lock(mutex_);
    const auto now = clock_->now();
    callCount_ += 1;
    // The first call opens the window; without a date it would never close.
    if (!lastCallDate_) {
        lastCallDate_ = now;
        return;
    }
    const auto apart = now > *lastCallDate_ ? now - *lastCallDate_ : *lastCallDate_ - now;
    if (apart > kWindow) {
        callCount_ = 0;
        lastCallDate_ = now;
    }
}

bool DNSResolver::shouldCallExternalIP(std::int64_t count) { return count < kCallsPerWindow; }

bool DNSResolver::shouldResolveNow() {
    updateCountAndDate();
    return shouldCallExternalIP(callCount());
}

std::int64_t DNSResolver::callCount() const {
    std::lock_guard lock(mutex_);
    return callCount_;
}

std::optional<platform::Clock::TimePoint> DNSResolver::lastCallDate() const {
    std::lock_guard lock(mutex_);
    return lastCallDate_;
}

std::vector<std::string> commaSeparatedList(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const auto end = comma == std::string_view::npos ? text.size() : comma;
        if (end > start) parts.emplace_back(text.substr(start, end - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return parts;
}

}  // namespace kiv
