#include "dnscodec/address/BigIntWords.hpp"

#include <bit>

#include "dnscodec/address/NamedException.hpp"

namespace dnscodec::bigint_detail {

namespace {
constexpr int kMax = BigInt::maxLength;
}  // namespace

void throwArithmetic(const char* reason) { throw NamedException("ArithmeticException", reason); }

int digitValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return -1;
}

Magnitude magnitudeOf(const BigInt::Words& words) {
    Magnitude result;
    if ((words.at(kMax - 1) & kSignBit) == 0) {
        result.words = words;
    } else {
        std::uint64_t carry = 1;
        for (int i = 0; i < kMax; ++i) {
            const std::uint64_t value = std::uint64_t{static_cast<std::uint32_t>(~words.at(i))} + carry;
            result.words.at(i) = static_cast<std::uint32_t>(value);
            carry = value >> 32;
        }
    }
    result.length = usedLength(result.words);
    return result;
}

bool allZero(const BigInt::Words& words) {
    for (const std::uint32_t word : words) {
        if (word != 0) return false;
    }
    return true;
}

int usedLength(std::span<const std::uint32_t> buffer) {
    std::size_t length = buffer.size();
    while (length > 1 && buffer[length - 1] == 0) --length;
    return static_cast<int>(length);
}

int compareMagnitudes(const Magnitude& a, const Magnitude& b) {
    if (a.length != b.length) return a.length < b.length ? -1 : 1;
    for (int i = a.length - 1; i >= 0; --i) {
        if (a.words.at(i) != b.words.at(i)) return a.words.at(i) < b.words.at(i) ? -1 : 1;
    }
    return 0;
}

int multiplyMagnitudes(const Magnitude& a, const Magnitude& b, Product& out) {
    out.fill(0);
    for (int i = 0; i < a.length; ++i) {
        const std::uint64_t factor = a.words.at(i);
        if (factor == 0) continue;
        std::uint64_t carry = 0;
        for (int j = 0; j < b.length; ++j) {
            const std::uint64_t value = factor * b.words.at(j) + out.at(i + j) + carry;
            out.at(i + j) = static_cast<std::uint32_t>(value);
            carry = value >> 32;
        }
        out.at(i + b.length) = static_cast<std::uint32_t>(carry);
    }
    return usedLength(out);
}

int compareProduct(const Product& product, const Magnitude& value) {
    for (int i = static_cast<int>(product.size()) - 1; i >= 0; --i) {
        const std::uint32_t other = i < kMax ? value.words.at(i) : 0;
        if (product.at(i) != other) return product.at(i) < other ? -1 : 1;
    }
    return 0;
}

void divideMagnitudes(const Magnitude& u, const Magnitude& v, BigInt::Words& quotient,
                      BigInt::Words& remainder) {
    const int n = v.length;
    const int total = u.length;
    const int shift = std::countl_zero(v.words.at(n - 1));
    auto shifted = [shift](std::uint32_t high, std::uint32_t low) {
        return shift == 0 ? high : static_cast<std::uint32_t>((high << shift) | (low >> (32 - shift)));
    };

    std::array<std::uint32_t, kMax> vn{};
    std::array<std::uint32_t, kMax + 1> un{};
    for (int i = n - 1; i > 0; --i) vn.at(i) = shifted(v.words.at(i), v.words.at(i - 1));
    vn.at(0) = v.words.at(0) << shift;
    un.at(total) = shift == 0 ? 0 : u.words.at(total - 1) >> (32 - shift);
    for (int i = total - 1; i > 0; --i) un.at(i) = shifted(u.words.at(i), u.words.at(i - 1));
    un.at(0) = u.words.at(0) << shift;

    constexpr std::uint64_t base = 1ull << 32;
    quotient.fill(0);
    for (int j = total - n; j >= 0; --j) {
        const std::uint64_t top = (std::uint64_t{un.at(j + n)} << 32) | un.at(j + n - 1);
        std::uint64_t qhat = top / vn.at(n - 1);
        std::uint64_t rhat = top % vn.at(n - 1);
        while (qhat >= base || qhat * vn.at(n - 2) > ((rhat << 32) | un.at(j + n - 2))) {
            --qhat;
            rhat += vn.at(n - 1);
            if (rhat >= base) break;
        }
        // Multiply and subtract qhat * v from the current window.
        std::int64_t borrow = 0;
        std::int64_t t = 0;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t p = qhat * vn.at(i);
            t = static_cast<std::int64_t>(un.at(i + j)) - borrow - static_cast<std::int64_t>(p & 0xFFFFFFFFu);
            un.at(i + j) = static_cast<std::uint32_t>(t);
            borrow = static_cast<std::int64_t>(p >> 32) - (t >> 32);
        }
        t = static_cast<std::int64_t>(un.at(j + n)) - borrow;
        un.at(j + n) = static_cast<std::uint32_t>(t);
        if (t < 0) {
            // The estimate was one too large: add the divisor back.
            --qhat;
            std::uint64_t carry = 0;
            for (int i = 0; i < n; ++i) {
                const std::uint64_t sum = std::uint64_t{un.at(i + j)} + vn.at(i) + carry;
                un.at(i + j) = static_cast<std::uint32_t>(sum);
                carry = sum >> 32;
            }
            un.at(j + n) = static_cast<std::uint32_t>(un.at(j + n) + carry);
        }
        quotient.at(j) = static_cast<std::uint32_t>(qhat);
    }
    remainder.fill(0);
    for (int i = 0; i < n; ++i) {
        remainder.at(i) =
            shift == 0 ? un.at(i)
                       : static_cast<std::uint32_t>((un.at(i) >> shift) | (un.at(i + 1) << (32 - shift)));
    }
}

}  // namespace dnscodec::bigint_detail
