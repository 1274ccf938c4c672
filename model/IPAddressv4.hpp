#pragma once
// One IPv4 address of the configuration side: the text it was made from, its 32-bit value, five
// classification flags and its reverse-lookup name. A plain value, complete once made; every
// field is public and writable, nothing changes it by itself.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/Expected.hpp"

namespace model {

// The error of both IPv4 parsers. Only invalidValue is ever produced.
struct IPAddressParsingError {
    enum class ErrorKind { invalidCharacter, invalidValue, internalError };
    ErrorKind kind = ErrorKind::invalidValue;
    bool operator==(const IPAddressParsingError&) const = default;
};

class IPAddressv4 {
public:
    // Dotted-quad text, kept unchanged in `address` (not normalised): pieces are split at "."
    // with empty pieces dropped ("1..2.3.4." is valid), each read by the integer text rule and
    // within 0...255, exactly four of them. Anything else is invalidValue.
    static Expected<IPAddressv4, IPAddressParsingError> parse(std::string_view text);
    // The canonical dotted quad of value (first octet in the most significant byte).
    explicit IPAddressv4(std::uint32_t value);

    std::string address;        // the text made from, or the canonical dotted quad
    std::uint32_t integer = 0;  // first octet in the most significant byte
    int version = 4;
    std::string reversePointer;  // the pieces of `address` reversed, then ".in-addr.arpa"
    bool isMulticast = false;    // 224.0.0.0/4
    bool isPrivate = false;      // 10/8, 172.16/12, 192.168/16
    bool isReserved = false;     // 240.0.0.0 and above
    bool isLoopback = false;     // 127/8
    bool isLinkLocal = false;    // 169.254/16

    // The address rules shared with IPNetworkv4.
    static bool isValidIPv4(std::string_view text);
    // The value of text that passed isValidIPv4.
    static std::uint32_t integerValue(std::string_view text);
    // "10.0.0.1" for 0x0A000001: decimal octets without leading zeros.
    static std::string dottedQuad(std::uint32_t value);
    static bool isPrivateAddress(std::uint32_t value);
    // text split at "." with empty pieces dropped.
    static std::vector<std::string_view> pieces(std::string_view text);

private:
    IPAddressv4(std::string text, std::uint32_t value);
};

}  // namespace model
