#pragma once
// Standard Base64 (RFC 4648 section 4: "+" and "/", "=" padding, no line breaks), for
// byte arguments inside IPC frames and for the texts of the cipher and the HTTP
// authorization header. Pure functions; any thread.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);
// nullopt for anything but canonical padded Base64 (wrong length, stray characters,
// line breaks, non-zero bits in the padding).
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace platform
