#pragma once
// A signed integer of fixed width: 70 words of 32 bits (2,240 bits) in two's
// complement, least significant word first. The address classes use it to move between
// addresses and their numeric and textual forms; it also carries arithmetic, bit
// operations, modular exponentiation (Barrett reduction) and probabilistic primality
// tests.
//
// A value type: every operation returns a new BigInt and leaves its operands alone,
// except getRandomBits, setData and setDataLength, which change the receiver. Failures
// throw NamedException: "ArithmeticException" (overflow, division by zero, a modulus too
// wide for the fixed width, bad digits), "ArgumentException" (bad radix, even Jacobi or
// Lucas arguments) and "ArithmaticException" (too many words given to
// createFromUIntArray). The most negative value, -2^2239, has no positive counterpart:
// negate, abs, divide, mod, gcd and the primality tests throw "Overflow in negation."
// for it. Out-of-range word indexes throw std::out_of_range. One thread at a time per
// object.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dnscodec/address/SecureRandom.hpp"

namespace dnscodec {

class BigInt {
public:
    static constexpr int maxLength = 70;
    // Widest modulus modPow, the Barrett reduction and the Lucas test accept: the
    // reduction's constant b^(2k) must fit in the fixed width.
    static constexpr int maxModulusWords = 34;
    using Words = std::array<std::uint32_t, maxLength>;

    // Zero.
    BigInt();
    // The signed 64-bit value (initWithInt:, initWithLong:).
    explicit BigInt(std::int64_t value);
    // The value of `text` in `radix`: an optional leading "-", then digits '0'-'9' and
    // letters of either case for 10-35. Empty text, a bare "-" or a digit not below the
    // radix throws "Invalid string in constructor."; a value outside the width throws an
    // overflow. "-0" is zero.
    BigInt(std::string_view text, int radix);

    static BigInt create() { return BigInt(); }
    static BigInt createFromInt(std::int64_t value) { return BigInt(value); }
    static BigInt createFromLong(std::int64_t value) { return BigInt(value); }
    static BigInt createFromULong(std::uint64_t value);
    static BigInt createFromBigInt(const BigInt& value) { return value; }
    static BigInt createFromString(std::string_view text, int radix) { return BigInt(text, radix); }
    // Words given most significant first (initWithUIntArray:withSize:); more than 70
    // throws "ArithmaticException" / "Byte overflow in constructor".
    static BigInt createFromUIntArray(std::span<const std::uint32_t> words);

    // Raw access to the words and the count in use; the setters do not normalise.
    const Words& getData() const { return data_; }
    std::uint32_t getDataAtIndex(int index) const;
    void setData(std::uint32_t value, int index);
    int dataLength() const { return dataLength_; }
    // 1 to 70; anything else throws std::out_of_range.
    void setDataLength(int length);
    // Word 0 as a 32-bit value.
    std::int32_t intValue() const { return static_cast<std::int32_t>(data_.at(0)); }

    BigInt add(const BigInt& other) const;
    BigInt subtract(const BigInt& other) const;
    BigInt multiply(const BigInt& other) const;
    // Quotient truncated toward zero; a zero divisor throws "Division by zero.".
    BigInt divide(const BigInt& divisor) const;
    // Remainder with the sign of the dividend; a zero divisor throws "Division by zero.".
    BigInt mod(const BigInt& divisor) const;
    BigInt negate() const;
    BigInt abs() const;
    // Every bit inverted (not:).
    BigInt bitNot() const;
    BigInt bitAnd(const BigInt& other) const;
    BigInt bitOr(const BigInt& other) const;
    BigInt xOr(const BigInt& other) const;
    // Shifts within the fixed width: bits pushed past the top are lost. A negative
    // count leaves the value as it is. shiftRight keeps the sign.
    BigInt shiftLeft(int bits) const;
    BigInt shiftRight(int bits) const;

    bool equals(const BigInt& other) const;
    bool greaterThan(const BigInt& other) const;
    bool lessThan(const BigInt& other) const;
    bool greaterThanOrEqualTo(const BigInt& other) const;
    bool lessThanOrEqualTo(const BigInt& other) const;

    // Significant bits; 2,240 for a negative value.
    int bitCount() const;
    // Integer square root; 0 for a negative value.
    BigInt sqrt() const;
    // Greatest common divisor of the absolute values.
    BigInt gcd(const BigInt& other) const;
    // this^exponent mod |modulus|, negated for a negative base and an odd exponent.
    // Throws for a negative exponent ("Positive exponents only."), a zero modulus and a
    // modulus of more than maxModulusWords words ("Modulus too large.").
    BigInt modPow(const BigInt& exponent, const BigInt& modulus) const;
    // Upper-case digits, "-" in front of a negative value. A radix outside 2-36 throws
    // "ArgumentException" / "Radix must be >= 2 and <= 36".
    std::string toStringWithRadix(int radix) const;

    // Shift `buffer` in place as an unsigned number; returns its length in use.
    static int shiftLeft(std::span<std::uint32_t> buffer, int bits);
    static int shiftRight(std::span<std::uint32_t> buffer, int bits);
    // Divide non-negative values (dividend by a one-word divisor, or by any divisor).
    static void singleByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient,
                                 BigInt& outRemainder);
    static void multiByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient,
                                BigInt& outRemainder);
    // x mod n for 0 <= x < b^(2k), n positive of k <= maxModulusWords words and
    // constant = b^(2k) / n (b = 2^32). Other inputs fall back to plain x mod n.
    static BigInt barrettReduction(const BigInt& x, const BigInt& n, const BigInt& constant);

    // Fills the receiver with a random number of exactly `bits` bits (top bit set) from
    // `random`; at most 2,240 bits ("Number of required bits > maxLength."), 0 for 0.
    void getRandomBits(int bits, const Random32& random = secureRandom32);
    // Trial division by the primes below 2000, then Rabin-Miller rounds.
    bool isProbablePrimeWithConfidence(int confidence, const Random32& random = secureRandom32) const;
    // Baillie-PSW: trial division, a strong base-2 test, then the strong Lucas test.
    bool isProbablePrime() const;
    bool rabinMillerTestWithConfidence(int confidence, const Random32& random = secureRandom32) const;
    // A random probable prime of `bits` bits (at least 2: "ArgumentException").
    static BigInt generatePseudoPrimeWithBits(int bits, int confidence,
                                              const Random32& random = secureRandom32);
    // Strong Lucas probable-prime test with Selfridge's parameters.
    static bool lucasStrongTest(const BigInt& n);
    // {U_k, V_k, Q^k} mod n, then s index doublings; k must be odd.
    static std::array<BigInt, 3> lucasSequence(const BigInt& P, const BigInt& Q, const BigInt& k,
                                               const BigInt& n, const BigInt& constant, int s);
    // Jacobi symbol (a/b) for odd b.
    static int jacobi(const BigInt& a, const BigInt& b);

    friend BigInt operator+(const BigInt& a, const BigInt& b) { return a.add(b); }
    friend BigInt operator-(const BigInt& a, const BigInt& b) { return a.subtract(b); }
    friend BigInt operator*(const BigInt& a, const BigInt& b) { return a.multiply(b); }
    friend BigInt operator/(const BigInt& a, const BigInt& b) { return a.divide(b); }
    friend BigInt operator%(const BigInt& a, const BigInt& b) { return a.mod(b); }
    friend BigInt operator-(const BigInt& a) { return a.negate(); }
    friend BigInt operator~(const BigInt& a) { return a.bitNot(); }
    friend BigInt operator&(const BigInt& a, const BigInt& b) { return a.bitAnd(b); }
    friend BigInt operator|(const BigInt& a, const BigInt& b) { return a.bitOr(b); }
    friend BigInt operator^(const BigInt& a, const BigInt& b) { return a.xOr(b); }
    friend BigInt operator<<(const BigInt& a, int bits) { return a.shiftLeft(bits); }
    friend BigInt operator>>(const BigInt& a, int bits) { return a.shiftRight(bits); }
    friend bool operator==(const BigInt& a, const BigInt& b) { return a.equals(b); }
    friend bool operator<(const BigInt& a, const BigInt& b) { return a.lessThan(b); }
    friend bool operator>(const BigInt& a, const BigInt& b) { return a.greaterThan(b); }
    friend bool operator<=(const BigInt& a, const BigInt& b) { return a.lessThanOrEqualTo(b); }
    friend bool operator>=(const BigInt& a, const BigInt& b) { return a.greaterThanOrEqualTo(b); }

private:
    bool isNegative() const { return (data_.at(maxLength - 1) & 0x80000000u) != 0; }
    bool isZero() const { return dataLength_ == 1 && data_.at(0) == 0; }
    bool isOne() const { return dataLength_ == 1 && data_.at(0) == 1; }
    void normalise();
    // op applied word by word to the words in use on either side.
    template <class Op>
    BigInt wordwise(const BigInt& other, Op op) const;
    static BigInt barrettConstant(const BigInt& n);

    Words data_{};
    int dataLength_ = 1;
};

}  // namespace dnscodec
