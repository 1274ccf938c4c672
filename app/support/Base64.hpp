#pragma once
// Standard Base64 (RFC 4648 section 4: "+" and "/", "=" padding, no line breaks).
// Pure functions; any thread.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kiv {

std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);

}  // namespace kiv
