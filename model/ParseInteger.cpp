#include "model/ParseInteger.hpp"

#include <limits>

namespace model {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return -1;
}

// Builds the value in [lowest, highest]: upwards after "+" or no sign, downwards after "-".
std::optional<std::int64_t> parseInRange(std::string_view text, int radix, std::int64_t lowest,
                                         std::int64_t highest) {
    if (radix < 2 || radix > 36 || text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
    }
    std::int64_t value = 0;
    for (char c : text) {
        int digit = digitValue(c);
        if (digit < 0 || digit >= radix) return std::nullopt;
        std::int64_t next = 0;
        if (__builtin_mul_overflow(value, static_cast<std::int64_t>(radix), &next)) return std::nullopt;
        bool overflow = negative ? __builtin_sub_overflow(next, digit, &value)
                                 : __builtin_add_overflow(next, digit, &value);
        if (overflow || value < lowest || value > highest) return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::int64_t> parseInteger(std::string_view text, int radix) {
    return parseInRange(text, radix, std::numeric_limits<std::int64_t>::min(),
                        std::numeric_limits<std::int64_t>::max());
}

std::optional<std::uint32_t> parseUInt32(std::string_view text, int radix) {
    auto value = parseInRange(text, radix, 0, std::numeric_limits<std::uint32_t>::max());
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

}  // namespace model
