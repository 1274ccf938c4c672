#pragma once
// Endpoints of flows and connections. A host endpoint is an IP address and a UDP
// port held as a socket address (its texts are made on demand); the Bonjour
// service endpoint is the one kind that is not a host, which the platform may hand
// to a provider and which the provider must be ready to refuse. Plain values.
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace platform::ne {

class NWHostEndpoint {
public:
    NWHostEndpoint() = default;
    explicit NWHostEndpoint(const asio::ip::udp::endpoint& endpoint) : endpoint_(endpoint) {}
    // From the platform's texts: an IP literal and a decimal port. Absent for
    // anything else (host names are never looked up).
    static std::optional<NWHostEndpoint> make(const std::string& hostname, const std::string& port);

    std::string hostname() const { return endpoint_.address().to_string(); }
    std::string port() const { return std::to_string(endpoint_.port()); }
    const asio::ip::udp::endpoint& endpoint() const { return endpoint_; }

    friend bool operator==(const NWHostEndpoint&, const NWHostEndpoint&) = default;

private:
    asio::ip::udp::endpoint endpoint_;
};

struct NWBonjourServiceEndpoint {
    std::string name;
    std::string type;
    std::string domain;
    friend bool operator==(const NWBonjourServiceEndpoint&, const NWBonjourServiceEndpoint&) = default;
};

using NWEndpoint = std::variant<NWHostEndpoint, NWBonjourServiceEndpoint>;

inline const NWHostEndpoint* hostEndpoint(const NWEndpoint& endpoint) {
    return std::get_if<NWHostEndpoint>(&endpoint);
}

// Reads a decimal port 0-65535 with nothing else in the text.
std::optional<std::uint16_t> parsePort(const std::string& text);

}  // namespace platform::ne
