#include "model/IPAddressv4.hpp"

#include <array>

#include "model/ParseInteger.hpp"

namespace model {

namespace {

struct Range {
    std::uint32_t low, high;
};

constexpr std::array<Range, 3> kPrivateRanges{{
    {0x0A000000, 0x0AFFFFFF},  // 10.0.0.0 - 10.255.255.255
    {0xAC100000, 0xAC1FFFFF},  // 172.16.0.0 - 172.31.255.255
    {0xC0A80000, 0xC0A8FFFF},  // 192.168.0.0 - 192.168.255.255
}};

// RFC 1035 section 3.5.
constexpr std::string_view kReverseDomain = ".in-addr.arpa";

}  // namespace

std::vector<std::string_view> IPAddressv4::pieces(std::string_view text) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        auto dot = text.find('.');
        std::string_view part = text.substr(0, dot);
        if (!part.empty()) parts.push_back(part);
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts;
}

bool IPAddressv4::isValidIPv4(std::string_view text) {
    auto parts = pieces(text);
    if (parts.size() != 4) return false;
    for (std::string_view part : parts) {
        auto value = parseInteger(part, 10);
        if (!value || *value < 0 || *value > 255) return false;
    }
    return true;
}

std::uint32_t IPAddressv4::integerValue(std::string_view text) {
    std::uint32_t value = 0;
    for (std::string_view part : pieces(text)) value = (value << 8) + parseUInt32(part, 10).value_or(0);
    return value;
}

std::string IPAddressv4::dottedQuad(std::uint32_t value) {
    return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 0xFF) + "." +
           std::to_string((value >> 8) & 0xFF) + "." + std::to_string(value & 0xFF);
}

bool IPAddressv4::isPrivateAddress(std::uint32_t value) {
    for (const Range& range : kPrivateRanges) {
        if (value >= range.low && value <= range.high) return true;
    }
    return false;
}

Expected<IPAddressv4, IPAddressParsingError> IPAddressv4::parse(std::string_view text) {
    if (!isValidIPv4(text))
        return unexpected(IPAddressParsingError{IPAddressParsingError::ErrorKind::invalidValue});
    return IPAddressv4(std::string(text), integerValue(text));
}

IPAddressv4::IPAddressv4(std::uint32_t value) : IPAddressv4(dottedQuad(value), value) {}

IPAddressv4::IPAddressv4(std::string text, std::uint32_t value) : address(std::move(text)), integer(value) {
    isMulticast = (value & 0xF0000000) == 0xE0000000;
    isPrivate = isPrivateAddress(value);
    isReserved = value >= 0xF0000000;
    isLoopback = (value >> 24) == 127;
    isLinkLocal = (value >> 16) == 0xA9FE;
    auto parts = pieces(address);
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (!reversePointer.empty()) reversePointer += ".";
        reversePointer += *part;
    }
    reversePointer += kReverseDomain;
}

}  // namespace model
