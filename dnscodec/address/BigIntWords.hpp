#pragma once
// Word-array helpers behind BigInt (internal to the address library): unsigned
// magnitudes of the two's-complement words, double-width products and long division.
// Every index is checked.
#include <array>
#include <cstdint>
#include <span>

#include "dnscodec/address/BigInt.hpp"

namespace dnscodec::bigint_detail {

inline constexpr std::uint32_t kSignBit = 0x80000000u;

[[noreturn]] void throwArithmetic(const char* reason);

// 0-35 for '0'-'9', 'A'-'Z' and 'a'-'z'; -1 for anything else.
int digitValue(unsigned char c);

// An unsigned number of up to 70 words and its length in use (at least 1).
struct Magnitude {
    BigInt::Words words{};
    int length = 1;
};

// The absolute value of two's-complement words; the most negative value gives 2^2239.
Magnitude magnitudeOf(const BigInt::Words& words);

bool allZero(const BigInt::Words& words);

// Length in use of an unsigned word buffer (at least 1 unless the buffer is empty).
int usedLength(std::span<const std::uint32_t> buffer);

// -1, 0 or 1.
int compareMagnitudes(const Magnitude& a, const Magnitude& b);

using Product = std::array<std::uint32_t, 2 * BigInt::maxLength>;

// a * b into `out`; returns the product's length in use.
int multiplyMagnitudes(const Magnitude& a, const Magnitude& b, Product& out);

// -1, 0 or 1 comparing a double-width product with a magnitude.
int compareProduct(const Product& product, const Magnitude& value);

// Schoolbook long division (Knuth's algorithm D) of u by v, v of two or more words and
// u >= v: the divisor is normalised by a left shift and each quotient word estimated
// from the top two words.
void divideMagnitudes(const Magnitude& u, const Magnitude& v, BigInt::Words& quotient,
                      BigInt::Words& remainder);

}  // namespace dnscodec::bigint_detail
