#pragma once
// Standard base64 (RFC 4648, with padding) for byte arguments inside JSON frames.
#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/XPCValue.hpp"

namespace platform {

std::string base64Encode(const Bytes& bytes);
// nullopt for anything but canonical padded base64 (wrong length, stray characters,
// non-zero bits in the padding).
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace platform
