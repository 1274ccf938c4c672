#include "platform/ne/NWEndpoint.hpp"

#include <charconv>

namespace platform::ne {

std::optional<std::uint16_t> parsePort(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::optional<NWHostEndpoint> NWHostEndpoint::make(const std::string& hostname, const std::string& port) {
    asio::error_code ec;
    const auto address = asio::ip::make_address(hostname, ec);
    const auto number = parsePort(port);
    if (ec || !number) return std::nullopt;
    return NWHostEndpoint(asio::ip::udp::endpoint(address, *number));
}

}  // namespace platform::ne
