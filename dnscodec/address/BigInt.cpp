#include "dnscodec/address/BigInt.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <stdexcept>
#include <vector>

#include "dnscodec/address/BigIntWords.hpp"
#include "dnscodec/address/NamedException.hpp"

namespace dnscodec {

using namespace bigint_detail;

BigInt::BigInt() = default;

BigInt::BigInt(std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    data_.at(0) = static_cast<std::uint32_t>(bits);
    data_.at(1) = static_cast<std::uint32_t>(bits >> 32);
    if (value < 0) {
        // Sign-extended through the top word, as every negative value is stored.
        for (int i = 2; i < maxLength; ++i) data_.at(i) = 0xFFFFFFFFu;
        dataLength_ = maxLength;
    } else {
        dataLength_ = 2;
        normalise();
    }
}

BigInt::BigInt(std::string_view text, int radix) {
    const bool negative = !text.empty() && text.front() == '-';
    const std::size_t limit = negative ? 1 : 0;
    if (text.size() <= limit) throwArithmetic("Invalid string in constructor.");

    // Least significant digit first, each digit taken negative for a negative text, so
    // that the most negative value itself can be written.
    BigInt multiplier(1);
    BigInt result;
    for (std::size_t i = text.size(); i-- > limit;) {
        const int digit = digitValue(static_cast<unsigned char>(text[i]));
        if (digit < 0 || digit >= radix) throwArithmetic("Invalid string in constructor.");
        result = result + multiplier * BigInt(negative ? -digit : digit);
        if (i > limit) multiplier = multiplier * BigInt(radix);
    }
    if (negative && !result.isNegative() && !result.isZero()) {
        throwArithmetic("Negative underflow in constructor.");
    }
    if (!negative && result.isNegative()) throwArithmetic("Positive overflow in constructor.");
    *this = result;
}

BigInt BigInt::createFromULong(std::uint64_t value) {
    BigInt result;
    result.data_.at(0) = static_cast<std::uint32_t>(value);
    result.data_.at(1) = static_cast<std::uint32_t>(value >> 32);
    result.dataLength_ = 2;
    result.normalise();
    return result;
}

BigInt BigInt::createFromUIntArray(std::span<const std::uint32_t> words) {
    if (words.size() > static_cast<std::size_t>(maxLength)) {
        throw NamedException("ArithmaticException", "Byte overflow in constructor");
    }
    BigInt result;
    const int count = static_cast<int>(words.size());
    for (int i = 0; i < count; ++i) result.data_.at(i) = words[static_cast<std::size_t>(count - 1 - i)];
    result.dataLength_ = std::max(count, 1);
    result.normalise();
    return result;
}

std::uint32_t BigInt::getDataAtIndex(int index) const {
    if (index < 0) throw std::out_of_range("BigInt word index");
    return data_.at(static_cast<std::size_t>(index));
}

void BigInt::setData(std::uint32_t value, int index) {
    if (index < 0) throw std::out_of_range("BigInt word index");
    data_.at(static_cast<std::size_t>(index)) = value;
}

void BigInt::setDataLength(int length) {
    if (length < 1 || length > maxLength) throw std::out_of_range("BigInt data length");
    dataLength_ = length;
}

void BigInt::normalise() {
    while (dataLength_ > 1 && data_.at(dataLength_ - 1) == 0) --dataLength_;
}

BigInt BigInt::add(const BigInt& other) const {
    BigInt result;
    result.dataLength_ = std::max(dataLength_, other.dataLength_);
    std::uint64_t carry = 0;
    for (int i = 0; i < result.dataLength_; ++i) {
        const std::uint64_t sum = std::uint64_t{data_.at(i)} + other.data_.at(i) + carry;
        result.data_.at(i) = static_cast<std::uint32_t>(sum);
        carry = sum >> 32;
    }
    if (carry != 0 && result.dataLength_ < maxLength) {
        result.data_.at(result.dataLength_) = static_cast<std::uint32_t>(carry);
        ++result.dataLength_;
    }
    result.normalise();
    if (isNegative() == other.isNegative() && result.isNegative() != isNegative())
        throwArithmetic("Overflow");
    return result;
}

BigInt BigInt::subtract(const BigInt& other) const {
    BigInt result;
    result.dataLength_ = std::max(dataLength_, other.dataLength_);
    std::int64_t borrow = 0;
    for (int i = 0; i < result.dataLength_; ++i) {
        const std::int64_t diff = std::int64_t{data_.at(i)} - std::int64_t{other.data_.at(i)} - borrow;
        result.data_.at(i) = static_cast<std::uint32_t>(diff);
        borrow = diff < 0 ? 1 : 0;
    }
    if (borrow != 0) {
        for (int i = result.dataLength_; i < maxLength; ++i) result.data_.at(i) = 0xFFFFFFFFu;
        result.dataLength_ = maxLength;
    }
    result.normalise();
    if (isNegative() != other.isNegative() && result.isNegative() != isNegative())
        throwArithmetic("Overflow");
    return result;
}

BigInt BigInt::multiply(const BigInt& other) const {
    const bool negativeA = isNegative();
    const bool negativeB = other.isNegative();
    Product product{};
    const int length = multiplyMagnitudes(magnitudeOf(data_), magnitudeOf(other.data_), product);
    if (length > maxLength) throwArithmetic("Multiplication overflow.");

    BigInt result;
    for (int i = 0; i < maxLength; ++i) result.data_.at(i) = product.at(i);
    result.dataLength_ = length;
    result.normalise();
    if (result.isNegative()) {
        // The one product with the sign bit set that fits: the most negative value.
        bool mostNegative = negativeA != negativeB && result.data_.at(maxLength - 1) == kSignBit;
        for (int i = 0; mostNegative && i < maxLength - 1; ++i) mostNegative = result.data_.at(i) == 0;
        if (mostNegative) return result;
        throwArithmetic("overflow.");
    }
    return negativeA != negativeB ? result.negate() : result;
}

BigInt BigInt::negate() const {
    if (isZero()) return BigInt();
    BigInt result;
    std::uint64_t carry = 1;
    for (int i = 0; i < maxLength; ++i) {
        const std::uint64_t value = std::uint64_t{static_cast<std::uint32_t>(~data_.at(i))} + carry;
        result.data_.at(i) = static_cast<std::uint32_t>(value);
        carry = value >> 32;
    }
    if (result.isNegative() == isNegative()) throwArithmetic("Overflow in negation.");
    result.dataLength_ = maxLength;
    result.normalise();
    return result;
}

BigInt BigInt::abs() const { return isNegative() ? negate() : *this; }

BigInt BigInt::divide(const BigInt& divisor) const {
    if (allZero(divisor.data_)) throwArithmetic("Division by zero.");
    const BigInt dividend = abs();
    const BigInt positiveDivisor = divisor.abs();
    if (dividend < positiveDivisor) return BigInt();
    BigInt quotient;
    BigInt remainder;
    multiByteDivide(dividend, positiveDivisor, quotient, remainder);
    return isNegative() != divisor.isNegative() ? quotient.negate() : quotient;
}

BigInt BigInt::mod(const BigInt& divisor) const {
    if (allZero(divisor.data_)) throwArithmetic("Division by zero.");
    const BigInt dividend = abs();
    const BigInt positiveDivisor = divisor.abs();
    if (dividend < positiveDivisor) return *this;
    BigInt quotient;
    BigInt remainder;
    multiByteDivide(dividend, positiveDivisor, quotient, remainder);
    return isNegative() ? remainder.negate() : remainder;
}

void BigInt::singleByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient,
                              BigInt& outRemainder) {
    const Magnitude top = magnitudeOf(dividend.data_);
    const std::uint64_t by = divisor.data_.at(0);
    if (by == 0) throwArithmetic("Division by zero.");
    BigInt quotient;
    std::uint64_t remainder = 0;
    for (int i = top.length - 1; i >= 0; --i) {
        const std::uint64_t part = (remainder << 32) | top.words.at(i);
        quotient.data_.at(i) = static_cast<std::uint32_t>(part / by);
        remainder = part % by;
    }
    quotient.dataLength_ = top.length;
    quotient.normalise();
    outQuotient = quotient;
    outRemainder = BigInt();
    outRemainder.data_.at(0) = static_cast<std::uint32_t>(remainder);
}

void BigInt::multiByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient,
                             BigInt& outRemainder) {
    const Magnitude u = magnitudeOf(dividend.data_);
    const Magnitude v = magnitudeOf(divisor.data_);
    if (v.length == 1) {
        singleByteDivide(dividend, divisor, outQuotient, outRemainder);
        return;
    }
    BigInt quotient;
    BigInt remainder;
    if (compareMagnitudes(u, v) < 0) {
        remainder.data_ = u.words;
        remainder.dataLength_ = u.length;
    } else {
        divideMagnitudes(u, v, quotient.data_, remainder.data_);
        quotient.dataLength_ = maxLength;
        remainder.dataLength_ = maxLength;
    }
    quotient.normalise();
    remainder.normalise();
    outQuotient = quotient;
    outRemainder = remainder;
}

BigInt BigInt::bitNot() const {
    BigInt result;
    for (int i = 0; i < maxLength; ++i) result.data_.at(i) = ~data_.at(i);
    result.dataLength_ = maxLength;
    result.normalise();
    return result;
}

template <class Op>
BigInt BigInt::wordwise(const BigInt& other, Op op) const {
    BigInt result;
    const int length = std::max(dataLength_, other.dataLength_);
    for (int i = 0; i < length; ++i) result.data_.at(i) = op(data_.at(i), other.data_.at(i));
    result.dataLength_ = maxLength;
    result.normalise();
    return result;
}

BigInt BigInt::bitAnd(const BigInt& other) const { return wordwise(other, std::bit_and<>{}); }
BigInt BigInt::bitOr(const BigInt& other) const { return wordwise(other, std::bit_or<>{}); }
BigInt BigInt::xOr(const BigInt& other) const { return wordwise(other, std::bit_xor<>{}); }

int BigInt::shiftLeft(std::span<std::uint32_t> buffer, int bits) {
    const std::vector<std::uint32_t> source(buffer.begin(), buffer.end());
    const long long size = static_cast<long long>(source.size());
    if (bits > 0) {
        const long long wordShift = std::min<long long>(bits / 32, size);
        const int bitShift = bits % 32;
        for (long long i = size - 1; i >= 0; --i) {
            std::uint32_t word = 0;
            const long long from = i - wordShift;
            if (from >= 0) {
                word = source.at(static_cast<std::size_t>(from)) << bitShift;
                if (bitShift != 0 && from >= 1) {
                    word |= source.at(static_cast<std::size_t>(from - 1)) >> (32 - bitShift);
                }
            }
            buffer[static_cast<std::size_t>(i)] = word;
        }
    }
    return usedLength(buffer);
}

int BigInt::shiftRight(std::span<std::uint32_t> buffer, int bits) {
    const std::vector<std::uint32_t> source(buffer.begin(), buffer.end());
    const long long size = static_cast<long long>(source.size());
    if (bits > 0) {
        const long long wordShift = std::min<long long>(bits / 32, size);
        const int bitShift = bits % 32;
        for (long long i = 0; i < size; ++i) {
            std::uint32_t word = 0;
            const long long from = i + wordShift;
            if (from < size) {
                word = source.at(static_cast<std::size_t>(from)) >> bitShift;
                if (bitShift != 0 && from + 1 < size) {
                    word |= source.at(static_cast<std::size_t>(from + 1)) << (32 - bitShift);
                }
            }
            buffer[static_cast<std::size_t>(i)] = word;
        }
    }
    return usedLength(buffer);
}

BigInt BigInt::shiftLeft(int bits) const {
    BigInt result = *this;
    result.dataLength_ = shiftLeft(std::span<std::uint32_t>(result.data_), bits);
    return result;
}

BigInt BigInt::shiftRight(int bits) const {
    if (bits <= 0) return *this;
    BigInt result = *this;
    result.dataLength_ = shiftRight(std::span<std::uint32_t>(result.data_), bits);
    if (isNegative()) {
        // Arithmetic shift: the vacated top bits take the sign.
        const int total = maxLength * 32;
        for (int bit = std::max(total - bits, 0); bit < total; ++bit) {
            result.data_.at(bit / 32) |= 1u << (bit % 32);
        }
        result.dataLength_ = maxLength;
    }
    return result;
}

bool BigInt::equals(const BigInt& other) const {
    if (dataLength_ != other.dataLength_) return false;
    for (int i = 0; i < dataLength_; ++i) {
        if (data_.at(i) != other.data_.at(i)) return false;
    }
    return true;
}

bool BigInt::greaterThan(const BigInt& other) const {
    if (isNegative() != other.isNegative()) return other.isNegative();
    for (int pos = std::max(dataLength_, other.dataLength_) - 1; pos >= 0; --pos) {
        if (data_.at(pos) != other.data_.at(pos)) return data_.at(pos) > other.data_.at(pos);
    }
    return false;
}

bool BigInt::lessThan(const BigInt& other) const {
    if (isNegative() != other.isNegative()) return isNegative();
    for (int pos = std::max(dataLength_, other.dataLength_) - 1; pos >= 0; --pos) {
        if (data_.at(pos) != other.data_.at(pos)) return data_.at(pos) < other.data_.at(pos);
    }
    return false;
}

bool BigInt::greaterThanOrEqualTo(const BigInt& other) const { return equals(other) || greaterThan(other); }

bool BigInt::lessThanOrEqualTo(const BigInt& other) const { return equals(other) || lessThan(other); }

int BigInt::bitCount() const {
    int length = dataLength_;
    while (length > 1 && data_.at(length - 1) == 0) --length;
    const std::uint32_t top = data_.at(length - 1);
    const int topBits = top == 0 ? 0 : 32 - std::countl_zero(top);
    return topBits + ((length - 1) << 5);
}

BigInt BigInt::sqrt() const {
    if (isNegative() || isZero()) return BigInt();
    const Magnitude self = magnitudeOf(data_);
    const int bits = bitCount();
    const int rootBits = (bits & 1) != 0 ? (bits >> 1) + 1 : bits >> 1;
    int wordCount = rootBits >> 5;
    const int bitPos = rootBits & 0x1F;
    std::uint32_t mask = kSignBit;
    if (bitPos != 0) {
        mask = 1u << bitPos;
        ++wordCount;
    }
    // Bit by bit from the top: keep each guessed bit whose square stays within the
    // value. Squares are formed double-width so a large guess never overflows.
    BigInt result;
    result.dataLength_ = std::max(wordCount, 1);
    for (int i = wordCount - 1; i >= 0; --i) {
        for (; mask != 0; mask >>= 1) {
            result.data_.at(i) ^= mask;
            Product square{};
            multiplyMagnitudes(magnitudeOf(result.data_), magnitudeOf(result.data_), square);
            if (compareProduct(square, self) > 0) result.data_.at(i) ^= mask;
        }
        mask = kSignBit;
    }
    result.normalise();
    return result;
}

BigInt BigInt::gcd(const BigInt& other) const {
    BigInt x = abs();
    BigInt y = other.abs();
    BigInt g = y;
    while (!x.isZero()) {
        g = x;
        x = y % x;
        y = g;
    }
    return g;
}

std::string BigInt::toStringWithRadix(int radix) const {
    if (radix < 2 || radix > 36) throw NamedException("ArgumentException", "Radix must be >= 2 and <= 36");
    // The magnitude is taken as unsigned words, so the most negative value (which has
    // no positive counterpart) is written correctly too.
    Magnitude rest = magnitudeOf(data_);
    if (rest.length == 1 && rest.words.at(0) == 0) return "0";
    std::string digits;
    while (!(rest.length == 1 && rest.words.at(0) == 0)) {
        std::uint64_t remainder = 0;
        for (int i = rest.length - 1; i >= 0; --i) {
            const std::uint64_t part = (remainder << 32) | rest.words.at(i);
            rest.words.at(i) = static_cast<std::uint32_t>(part / static_cast<std::uint64_t>(radix));
            remainder = part % static_cast<std::uint64_t>(radix);
        }
        while (rest.length > 1 && rest.words.at(rest.length - 1) == 0) --rest.length;
        digits.push_back("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[remainder]);
    }
    if (isNegative()) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

}  // namespace dnscodec
