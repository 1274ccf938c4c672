#include "dnsproxy/ClientIdentificationOption.hpp"

#include <charconv>
#include <limits>

#include "platform/SystemLog.hpp"

namespace dnsproxy {

namespace {

constexpr std::string_view kHeaderHex = "fe78006456515a10";
constexpr std::size_t kUUIDWidth = 16;
constexpr std::size_t kAddressWidth = 16;
constexpr std::size_t kLocationWidth = 64;
constexpr char kLower[] = "0123456789abcdef";
constexpr char kUpper[] = "0123456789ABCDEF";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits at '.', dropping empty pieces.
std::vector<std::string_view> pieces(std::string_view text) {
    std::vector<std::string_view> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto dot = text.find('.', start);
        const auto end = dot == std::string_view::npos ? text.size() : dot;
        if (end > start) result.push_back(text.substr(start, end - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return result;
}

// A decimal integer with an optional sign and nothing else.
std::optional<long long> decimal(std::string_view piece) {
    bool negative = false;
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
        negative = piece.front() == '-';
        piece.remove_prefix(1);
    }
    if (piece.empty()) return std::nullopt;
    unsigned long long magnitude = 0;
    auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), magnitude);
    if (ec != std::errc{} || end != piece.data() + piece.size()) return std::nullopt;
    const auto limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (!negative && magnitude > limit) return std::nullopt;
    if (negative && magnitude > limit + 1) return std::nullopt;
    if (negative)
        return magnitude == limit + 1 ? std::numeric_limits<long long>::min()
                                      : -static_cast<long long>(magnitude);
    return static_cast<long long>(magnitude);
}

void appendHex(std::string& out, std::uint8_t byte, const char* digits) {
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 0x0F]);
}

// The uuid field: the text without hyphens, cut or padded with '0' to 32 digits;
// 16 zero bytes when it holds anything but hexadecimal digits.
void uuidField(std::string_view uuid, ClientIdentification& out, std::size_t at) {
    std::string digits;
    digits.reserve(uuid.size());
    for (char c : uuid) {
        if (c != '-') digits.push_back(c);
    }
    bool hex = true;
    for (char c : digits) hex = hex && hexDigit(c) >= 0;
    if (!hex) digits.clear();
    digits.resize(2 * kUUIDWidth, '0');
    for (std::size_t i = 0; i < kUUIDWidth; ++i) {
        out.bytes[at + i] =
            static_cast<std::uint8_t>(hexDigit(digits[2 * i]) * 16 + hexDigit(digits[2 * i + 1]));
    }
    out.hex += digits;
}

// A piece that reads as a decimal integer: digits after at most one sign, nothing else.
bool integerShaped(std::string_view piece) {
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) piece.remove_prefix(1);
    if (piece.empty()) return false;
    for (char c : piece) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// One byte per decimal piece, in order, zero bytes to 16; pieces that are not integers are
// dropped, as in ipAddressHex, whose text the log shows. An address the field cannot carry (a
// piece outside 0-255, too large to read among them, or more than 16 pieces) gives 16 zero
// bytes: dropping or cutting pieces would name another computer.
void addressField(std::string_view address, ClientIdentification& out, std::size_t at) {
    std::array<std::uint8_t, kAddressWidth> octets{};
    std::size_t count = 0;
    bool fits = true;
    for (const auto piece : pieces(address)) {
        if (!integerShaped(piece)) continue;
        const auto value = decimal(piece);
        if (!value || *value < 0 || *value > 255 || count == kAddressWidth) {
            fits = false;
            break;
        }
        octets[count++] = static_cast<std::uint8_t>(*value);
    }
    if (!fits) count = 0;
    for (std::size_t i = 0; i < kAddressWidth; ++i) out.bytes[at + i] = i < count ? octets[i] : 0;
    for (std::size_t i = 0; i < count; ++i) appendHex(out.hex, octets[i], kUpper);
    out.hex.resize(out.hex.size() + 2 * (kAddressWidth - count), '0');
}

// The location key's UTF-8 bytes, cut at a character boundary to 64 bytes.
void locationField(std::string_view key, ClientIdentification& out, std::size_t at) {
    std::size_t length = std::min(key.size(), kLocationWidth);
    if (length < key.size()) {
        // Do not end inside a multi-byte character: back off over continuation bytes.
        while (length > 0 && (static_cast<std::uint8_t>(key[length]) & 0xC0) == 0x80) --length;
    }
    for (std::size_t i = 0; i < length; ++i) {
        out.bytes[at + i] = static_cast<std::uint8_t>(key[i]);
        appendHex(out.hex, static_cast<std::uint8_t>(key[i]), kLower);
    }
    out.hex.resize(out.hex.size() + 2 * (kLocationWidth - length), '0');
}

}  // namespace

ClientIdentification buildClientIdentification(std::string_view uuid, std::string_view ipAddress,
                                               std::string_view locationKey) {
    ClientIdentification result;
    result.hex.reserve(2 * kClientIdentificationOptionSize);
    result.hex += kHeaderHex;
    constexpr std::array<std::uint8_t, 8> header{0xFE, 0x78, 0x00, 0x64, 0x56, 0x51, 0x5A, 0x10};
    std::copy(header.begin(), header.end(), result.bytes.begin());
    uuidField(uuid, result, 8);
    addressField(ipAddress, result, 8 + kUUIDWidth);
    locationField(locationKey, result, 8 + kUUIDWidth + kAddressWidth);
    return result;
}

std::optional<std::vector<std::uint8_t>> makeClientIdentificationOption(std::string_view uuid,
                                                                        std::string_view ipAddress,
                                                                        std::string_view locationKey) {
    const auto option = buildClientIdentification(uuid, ipAddress, locationKey);
    platform::nsLog("DNSProxyProvider edns hex: " + option.hex);
    return std::vector<std::uint8_t>(option.bytes.begin(), option.bytes.end());
}

std::optional<std::vector<std::uint8_t>> dataFromHexString(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        // The platform's integer reading of a pair also takes a leading '+'.
        const char first = text[i];
        const char second = text[i + 1];
        if (first == '+' && hexDigit(second) >= 0) {
            bytes.push_back(static_cast<std::uint8_t>(hexDigit(second)));
        } else if (hexDigit(first) >= 0 && hexDigit(second) >= 0) {
            bytes.push_back(static_cast<std::uint8_t>(hexDigit(first) * 16 + hexDigit(second)));
        }
    }
    if (bytes.empty()) return text.empty() ? std::optional<std::vector<std::uint8_t>>(bytes) : std::nullopt;
    if (text.size() / bytes.size() != 2) return std::nullopt;
    return bytes;
}

std::string ipAddressHex(std::string_view text) {
    std::string result;
    for (const auto piece : pieces(text)) {
        const auto value = decimal(piece);
        if (!value) continue;
        const bool negative = *value < 0;
        unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(*value)
                                                : static_cast<unsigned long long>(*value);
        std::string digits;
        do {
            digits.insert(digits.begin(), kUpper[magnitude & 0x0F]);
            magnitude >>= 4;
        } while (magnitude);
        if (digits.size() == 1) digits.insert(digits.begin(), '0');
        if (negative) result.push_back('-');
        result += digits;
    }
    return result;
}

std::vector<std::string> hexPairs(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> result;
    result.reserve(bytes.size());
    for (auto byte : bytes) {
        std::string pair;
        appendHex(pair, byte, kLower);
        result.push_back(std::move(pair));
    }
    return result;
}

}  // namespace dnsproxy
