#pragma once
// The EDNS client-identification option that tags every query no forwarding rule
// claims: option code 0xFE78, length 100, the magic "VQZ" 0x10, then the device
// uuid (16 bytes), the internal IPv4 address (one byte per decimal piece, 16 bytes)
// and the location key (UTF-8, 64 bytes). The option is always exactly 104 bytes: a
// field is zero-padded or cut to its width; address pieces that are not integers are
// left out, and an address with a piece outside 0-255 or more than 16 pieces gives
// 16 zero bytes; a uuid that is not hexadecimal gives 16 zero bytes; well-formed
// values give the bytes unchanged. Pure functions; any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dnsproxy {

inline constexpr std::uint16_t kClientIdentificationOptionCode = 0xFE78;
inline constexpr std::size_t kClientIdentificationOptionSize = 104;

struct ClientIdentification {
    std::array<std::uint8_t, kClientIdentificationOptionSize> bytes{};
    // The option as hexadecimal text, the form in which it is logged.
    std::string hex;
};

ClientIdentification buildClientIdentification(std::string_view uuid, std::string_view ipAddress,
                                               std::string_view locationKey);

// The option bytes, after logging them through nsLog as
// "DNSProxyProvider edns hex: " and the hex text. Never absent.
std::optional<std::vector<std::uint8_t>> makeClientIdentificationOption(std::string_view uuid,
                                                                        std::string_view ipAddress,
                                                                        std::string_view locationKey);

// The text helpers the option was first assembled with.
// Pairs of hexadecimal digits to bytes: absent for an odd length, or when the text
// length divided by the number of readable pairs is not 2 (unreadable pairs are
// dropped); the empty text gives no bytes.
std::optional<std::vector<std::uint8_t>> dataFromHexString(std::string_view text);
// Each decimal piece between dots in uppercase hexadecimal, at least two digits;
// pieces that are not integers are dropped ("192.168.1.10" gives "C0A8010A").
std::string ipAddressHex(std::string_view text);
// Each byte as two lowercase hexadecimal digits.
std::vector<std::string> hexPairs(std::span<const std::uint8_t> bytes);

}  // namespace dnsproxy
