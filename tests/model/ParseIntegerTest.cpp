#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "model/ParseInteger.hpp"

namespace model {
namespace {

struct IntegerCase {
    std::string text;
    int radix;
    std::optional<std::int64_t> signedValue;
    std::optional<std::uint32_t> unsignedValue;
};

class IntegerTextRule : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerTextRule, GivesTheSpecifiedValueOrNone) {
    const IntegerCase& c = GetParam();
    EXPECT_EQ(parseInteger(c.text, c.radix), c.signedValue) << '"' << c.text << '"';
    EXPECT_EQ(parseUInt32(c.text, c.radix), c.unsignedValue) << '"' << c.text << '"';
}

constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, IntegerTextRule,
    ::testing::Values(
        // plain, signs, leading zeros
        IntegerCase{"0", 10, 0, 0u}, IntegerCase{"7", 10, 7, 7u}, IntegerCase{"007", 10, 7, 7u},
        IntegerCase{"+42", 10, 42, 42u}, IntegerCase{"-42", 10, -42, std::nullopt},
        IntegerCase{"-0", 10, 0, 0u}, IntegerCase{"-000", 10, 0, 0u}, IntegerCase{"+0", 10, 0, 0u},
        // malformed
        IntegerCase{"", 10, std::nullopt, std::nullopt}, IntegerCase{"+", 10, std::nullopt, std::nullopt},
        IntegerCase{"-", 10, std::nullopt, std::nullopt}, IntegerCase{" 1", 10, std::nullopt, std::nullopt},
        IntegerCase{"1 ", 10, std::nullopt, std::nullopt},
        IntegerCase{"1_000", 10, std::nullopt, std::nullopt},
        IntegerCase{"+-1", 10, std::nullopt, std::nullopt},
        IntegerCase{"0x1", 10, std::nullopt, std::nullopt},
        IntegerCase{"1.0", 10, std::nullopt, std::nullopt},
        IntegerCase{"\xd9\xa1", 10, std::nullopt, std::nullopt},  // ARABIC-INDIC DIGIT ONE is no ASCII digit
        // signed 64-bit boundaries, built downwards after "-"
        IntegerCase{"9223372036854775807", 10, kMax, std::nullopt},
        IntegerCase{"9223372036854775808", 10, std::nullopt, std::nullopt},
        IntegerCase{"-9223372036854775808", 10, kMin, std::nullopt},
        IntegerCase{"-9223372036854775809", 10, std::nullopt, std::nullopt},
        IntegerCase{"000000000000000000000000000009", 10, 9, 9u},
        // unsigned 32-bit boundaries
        IntegerCase{"4294967295", 10, 4294967295, 4294967295u},
        IntegerCase{"4294967296", 10, 4294967296, std::nullopt}, IntegerCase{"-1", 10, -1, std::nullopt},
        // radices
        IntegerCase{"ff", 16, 255, 255u}, IntegerCase{"FF", 16, 255, 255u},
        IntegerCase{"fg", 16, std::nullopt, std::nullopt}, IntegerCase{"101", 2, 5, 5u},
        IntegerCase{"2", 2, std::nullopt, std::nullopt}, IntegerCase{"zz", 36, 1295, 1295u},
        IntegerCase{"a", 10, std::nullopt, std::nullopt}, IntegerCase{"1", 1, std::nullopt, std::nullopt},
        IntegerCase{"1", 37, std::nullopt, std::nullopt},
        IntegerCase{"-7fffffffffffffff", 16, -kMax, std::nullopt},
        IntegerCase{"-8000000000000000", 16, kMin, std::nullopt}));

}  // namespace
}  // namespace model
