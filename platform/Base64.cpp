#include "platform/Base64.hpp"

#include <array>

namespace platform {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeReverse() {
    std::array<int, 256> table{};
    for (auto& v : table) v = -1;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = int(i);
    return table;
}
constexpr auto kReverse = makeReverse();

}  // namespace

// Both write through a pointer into storage sized up front: frames carry megabytes
// of data, and a call per character is what dominates unoptimised builds.
std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string out((bytes.size() + 2) / 3 * 4, '=');
    char* p = out.data();
    const std::uint8_t* in = bytes.data();
    const std::size_t whole = bytes.size() / 3 * 3;
    for (std::size_t i = 0; i < whole; i += 3) {
        const unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        *p++ = kAlphabet[(v >> 6) & 63];
        *p++ = kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - whole;
    if (rest > 0) {
        const unsigned v = (unsigned(in[whole]) << 16) | (rest == 2 ? unsigned(in[whole + 1]) << 8 : 0u);
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        if (rest == 2) *p++ = kAlphabet[(v >> 6) & 63];
        // the rest is already '='
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    return base64Encode(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
    std::vector<std::uint8_t> out(text.size() / 4 * 3 - pad);
    std::uint8_t* p = out.data();
    const char* in = text.data();
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t digits = last ? 4 - pad : 4;
        unsigned v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int d = 0;
            if (k < digits) {
                d = kReverse[static_cast<unsigned char>(in[i + k])];
                if (d < 0) return std::nullopt;
            } else if (in[i + k] != '=') {
                return std::nullopt;
            }
            v = (v << 6) | unsigned(d);
        }
        *p++ = std::uint8_t(v >> 16);
        if (digits > 2) *p++ = std::uint8_t(v >> 8);
        if (digits > 3) *p++ = std::uint8_t(v);
        // Canonical form only: the bits that padding hides must be zero.
        if ((pad == 1 && last && (v & 0xFF) != 0) || (pad == 2 && last && (v & 0xFFFF) != 0))
            return std::nullopt;
    }
    return out;
}

}  // namespace platform
