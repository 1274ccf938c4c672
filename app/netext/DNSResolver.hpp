#pragma once
// Small network lookups of the application:
// - the system's configured DNS servers (getDNSAddresses), read once when the object is made;
// - the computer's external address, asked of a filtering resolver with the special name "-.-"
//   (resolveDNSUsingCorvel): the A record of the answer is the address the resolver sees;
// - commaSeparatedList for typed resolver lists.
//
// Each DNSResolver owns its own resolver state: releasing one never affects another.
// The servers come from /etc/resolv.conf; when that names only the systemd-resolved stub
// (127.0.0.53 / 127.0.0.54) the servers of /run/systemd/resolve/resolv.conf are used instead.
// The stub and the DNS proxy's own listening addresses are never answered, so the proxy never
// forwards into itself.
//
// Threads: any; the object is immutable apart from the call-rate limiter, which takes a lock.
// The external-address query blocks its caller (at most `attempts` times `timeout`).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/http/HTTPClient.hpp"
#include "platform/net/ResolverConfig.hpp"

namespace kiv {

// How the external-address query is sent.
struct ExternalAddressQuery {
    std::uint16_t port = 53;
    std::chrono::milliseconds timeout{5000};  // per attempt
    int attempts = 2;
};

// The plain-HTTP address-echo service that pingNonCorvelResolver asks: it answers the caller's
// address as the body of a GET of its root path.
struct AddressEchoService {
    static constexpr const char* kDefaultURL = "http://ip.brannockcloud.com/";
    // An address is a few dozen bytes; a longer body is no address and is not read on.
    static constexpr std::size_t kMaxBody = 256;

    std::string url = kDefaultURL;
    std::chrono::milliseconds timeout{5000};
    platform::HTTPClientPtr client;  // null: the process's own
};

class DNSResolver;
using DNSResolverPtr = std::unique_ptr<DNSResolver>;

class DNSResolver {
public:
    // Reads the resolver configuration; nothing when it cannot be read at all (a missing
    // /etc/resolv.conf is no failure: it means no servers, as for the system's resolver).
    static DNSResolverPtr create(const platform::ResolverConfigPaths& paths = {},
                                 platform::ClockPtr clock = platform::processClock());

    // The configured DNS servers as numeric addresses, in file order; empty when there are none.
    std::vector<std::string> getDNSAddresses() const;

    // Asks the first non-empty resolver of `resolvers` (a dotted IPv4 address) for `host`, class
    // IN, type A, and answers the first IN A record of the answer with four bytes of data as
    // dotted text; "" when nothing usable came back.
    static std::string getIPAddressFromResolvers(const std::vector<std::string>& resolvers,
                                                 const std::string& host,
                                                 const ExternalAddressQuery& query = {});
    // getIPAddressFromResolvers with the host "-.-".
    static std::string resolveDNSUsingCorvel(const std::vector<std::string>& resolvers,
                                             const ExternalAddressQuery& query = {});

    // The caller's address as the echo service sees it, past every filtering resolver: ""
    // without resolvers (nothing is sent), else the body of a GET of the service's root path,
    // trimmed of blanks and tabs; "" when the request failed or the body is not ASCII text.
    // Blocks its caller up to the service's timeout; on the main thread the main loop turns
    // meanwhile.
    static std::string pingNonCorvelResolver(const std::vector<std::string>& resolvers,
                                             const AddressEchoService& service = {});

    // Call-rate limiter: at most a few external-address calls per hour.
    void updateCountAndDate();
    static bool shouldCallExternalIP(std::int64_t count);
    bool shouldResolveNow();
    std::int64_t callCount() const;
    std::optional<platform::Clock::TimePoint> lastCallDate() const;

    DNSResolver(const DNSResolver&) = delete;
    DNSResolver& operator=(const DNSResolver&) = delete;

    class Key {
        friend class DNSResolver;
        Key() = default;
    };
    // Made by create() only.
    DNSResolver(Key, platform::ResolverState state, platform::ClockPtr clock);

private:
    const platform::ResolverState state_;
    const platform::ClockPtr clock_;

    mutable std::mutex mutex_;
    std::int64_t callCount_ = 0;                              // guarded by mutex_
    std::optional<platform::Clock::TimePoint> lastCallDate_;  // guarded by mutex_
};

// Splits `text` at every ","; keeps the non-empty parts in order, blanks untouched.
std::vector<std::string> commaSeparatedList(std::string_view text);

}  // namespace kiv
