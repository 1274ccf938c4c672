#include "model/IPNetworkv4.hpp"

#include "model/ParseInteger.hpp"

namespace model {

namespace {

// text split at separator with empty pieces dropped.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        auto at = text.find(separator);
        std::string_view part = text.substr(0, at);
        if (!part.empty()) parts.push_back(part);
        if (at == std::string_view::npos) break;
        text.remove_prefix(at + 1);
    }
    return parts;
}

// The first n bits set, as an address made from its canonical text.
std::uint32_t maskBits(int prefix) { return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix); }

}  // namespace

Expected<IPNetworkv4, IPAddressParsingError> IPNetworkv4::parse(std::string_view text) {
    std::optional<IPNetworkv4> network;
    if (text.find('/') != std::string_view::npos) {
        network = parsePrefixed(text);
    } else if (text.find('-') != std::string_view::npos) {
        network = parseRange(text);
    } else {
        network = parseSingle(text);
    }
    if (!network) return unexpected(IPAddressParsingError{IPAddressParsingError::ErrorKind::invalidValue});
    return std::move(*network);
}

std::optional<IPNetworkv4> IPNetworkv4::parsePrefixed(std::string_view text) {
    auto parts = split(text, '/');  // pieces after the second are ignored
    if (parts.size() < 2 || !IPAddressv4::isValidIPv4(parts[0])) return std::nullopt;
    auto length = parseInteger(parts[1], 10);
    if (!length || *length < 1 || *length > maxPrefixLen) return std::nullopt;
    int n = static_cast<int>(*length);

    // The mask, network and broadcast addresses are written canonically, whatever the spelling of
    // the address part.
    std::uint32_t mask = maskBits(n);
    std::uint32_t network = IPAddressv4::integerValue(parts[0]) & mask;
    std::uint32_t broadcast = network | ~mask;

    IPNetworkv4 result{IPAddressv4(network), IPAddressv4(broadcast)};
    result.prefix_ = n;
    result.address_ = std::string(parts[0]);
    result.netMask_ = IPAddressv4(mask);
    result.hosts_ = IPv4HostList::range(network, broadcast);
    result.usableHosts_ =
        broadcast - network >= 2 ? IPv4HostList::range(network + 1, broadcast - 1) : IPv4HostList::none();
    result.withPrefix_ = std::string(text);
    result.withNetMask_ = std::string(parts[0]) + "/" + result.netMask_->address;
    return result;
}

std::optional<IPNetworkv4> IPNetworkv4::parseRange(std::string_view text) {
    auto parts = split(text, '-');  // pieces after the second are ignored
    if (parts.size() < 2) return std::nullopt;
    auto first = IPAddressv4::parse(parts[0]);
    auto last = IPAddressv4::parse(parts[1]);
    if (!first || !last) return std::nullopt;

    IPNetworkv4 result{*first, *last};
    result.isRange_ = true;
    result.hosts_ = IPv4HostList::range(first->integer, last->integer);
    result.usableHosts_ = result.hosts_;
    return result;
}

std::optional<IPNetworkv4> IPNetworkv4::parseSingle(std::string_view text) {
    auto address = IPAddressv4::parse(text);
    if (!address) return std::nullopt;

    IPNetworkv4 result{*address, *address};
    result.prefix_ = maxPrefixLen;
    result.netMask_ = IPAddressv4(0xFFFFFFFF);
    result.hosts_ = IPv4HostList::single(*address);
    result.usableHosts_ = result.hosts_;
    result.withPrefix_ = std::string(text) + "/32";
    result.withNetMask_ = std::string(text) + "/255.255.255.255";
    return result;
}

}  // namespace model
