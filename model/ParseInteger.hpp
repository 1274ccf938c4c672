#pragma once
// The integer text rule of the address parsers and of every other integer read from text:
// an optional leading "+" or "-", then one or more digits of the radix (ASCII digits, then
// letters of either case above 10), most significant first. Empty text, a sign alone, any other
// byte (spaces included) or a value that leaves the type's range at any step gives no value.
// Leading zeros are allowed ("007" is 7); "-0" is 0; after "-" the unsigned variant accepts only
// zeros. A radix outside 2...36 gives no value.
#include <cstdint>
#include <optional>
#include <string_view>

namespace model {

std::optional<std::int64_t> parseInteger(std::string_view text, int radix = 10);
std::optional<std::uint32_t> parseUInt32(std::string_view text, int radix = 10);

}  // namespace model
