// BigInt checked against GMP on random operands (fixed seed, bounded rounds). GMP works
// on unbounded integers, so each expectation first decides whether the exact result
// fits the 2,240-bit two's-complement width and which failure the width gives if not.
#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dnscodec/address/BigInt.hpp"
#include "dnscodec/address/NamedException.hpp"

namespace dnscodec {
namespace {

constexpr int kWidth = 2240;

// An owning mpz_t.
class Z {
public:
    Z() { mpz_init(v_); }
    explicit Z(long value) { mpz_init_set_si(v_, value); }
    Z(const Z& other) { mpz_init_set(v_, other.v_); }
    Z& operator=(const Z& other) {
        mpz_set(v_, other.v_);
        return *this;
    }
    ~Z() { mpz_clear(v_); }
    mpz_ptr get() { return v_; }
    mpz_srcptr get() const { return v_; }

private:
    mpz_t v_;
};

std::string upperText(const Z& z, int radix) {
    std::unique_ptr<char, void (*)(void*)> text(mpz_get_str(nullptr, -radix, z.get()), free);
    return text.get();
}

// Through the words (most significant first), which is much quicker than the text
// constructor; that one has its own round-trip test.
BigInt toBig(const Z& z) {
    std::vector<std::uint32_t> words(mpz_sizeinbase(z.get(), 2) / 32 + 1);
    std::size_t count = 0;
    mpz_export(words.data(), &count, 1, sizeof(std::uint32_t), 0, 0, z.get());
    words.resize(std::max<std::size_t>(count, 1));
    const BigInt magnitude = BigInt::createFromUIntArray(words);
    // 2^2239 has the word pattern of the most negative value itself.
    if (mpz_sgn(z.get()) >= 0 || magnitude < BigInt(0)) return magnitude;
    return -magnitude;
}

// True when -2^2239 <= z < 2^2239.
bool fits(const Z& z) {
    Z bound;
    mpz_ui_pow_ui(bound.get(), 2, kWidth - 1);
    if (mpz_cmp(z.get(), bound.get()) >= 0) return false;
    mpz_neg(bound.get(), bound.get());
    return mpz_cmp(z.get(), bound.get()) >= 0;
}

// z reduced into the width as two's complement (what a wrapping shift leaves).
Z wrapped(const Z& z) {
    Z modulus;
    mpz_ui_pow_ui(modulus.get(), 2, kWidth);
    Z result;
    mpz_fdiv_r(result.get(), z.get(), modulus.get());
    Z half;
    mpz_ui_pow_ui(half.get(), 2, kWidth - 1);
    if (mpz_cmp(result.get(), half.get()) >= 0) mpz_sub(result.get(), result.get(), modulus.get());
    return result;
}

class Operands {
public:
    Operands() {
        gmp_randinit_mt(state_);
        gmp_randseed_ui(state_, 20240611);
    }
    ~Operands() { gmp_randclear(state_); }
    Operands(const Operands&) = delete;
    Operands& operator=(const Operands&) = delete;

    // A signed value of up to maxBits bits, often with long runs of ones and zeros.
    Z next(int maxBits, bool allowNegative = true) {
        Z z;
        const unsigned long bits = 1 + gmp_urandomm_ui(state_, static_cast<unsigned long>(maxBits));
        if (gmp_urandomm_ui(state_, 3) == 0) {
            mpz_rrandomb(z.get(), state_, bits);
        } else {
            mpz_urandomb(z.get(), state_, bits);
        }
        if (allowNegative && gmp_urandomm_ui(state_, 2) == 0) mpz_neg(z.get(), z.get());
        return z;
    }
    unsigned long below(unsigned long n) { return gmp_urandomm_ui(state_, n); }
    gmp_randstate_t& state() { return state_; }

private:
    gmp_randstate_t state_;
};

// The value or the failure reason an operation produced.
struct Outcome {
    std::optional<BigInt> value;
    std::string reason;
};

template <typename Op>
Outcome run(Op&& op) {
    try {
        return {op(), ""};
    } catch (const NamedException& e) {
        return {std::nullopt, e.reason()};
    }
}

void expectValue(const Outcome& outcome, const Z& expected, const std::string& what) {
    ASSERT_TRUE(outcome.value.has_value()) << what << " threw " << outcome.reason;
    EXPECT_EQ(outcome.value->toStringWithRadix(16), upperText(expected, 16)) << what;
    EXPECT_EQ(*outcome.value, toBig(expected)) << what << " (normalised form)";
}

std::string describe(const char* op, const Z& a, const Z& b) {
    return std::string(op) + " of " + upperText(a, 16) + " and " + upperText(b, 16);
}

TEST(BigIntGmpTest, TextRoundTripsInEveryRadix) {
    Operands operands;
    for (int round = 0; round < 150; ++round) {
        const Z z = operands.next(kWidth - 1);
        const int radix = 2 + static_cast<int>(operands.below(35));
        const BigInt value = BigInt(upperText(z, radix), radix);
        EXPECT_EQ(value.toStringWithRadix(radix), upperText(z, radix));
        std::string lower = upperText(z, radix);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        EXPECT_EQ(BigInt(lower, radix), value);
        if (mpz_sgn(z.get()) >= 0) {
            const int bits = mpz_sgn(z.get()) == 0 ? 0 : static_cast<int>(mpz_sizeinbase(z.get(), 2));
            EXPECT_EQ(value.bitCount(), bits);
        }
    }
}

TEST(BigIntGmpTest, AdditionAndSubtraction) {
    Operands operands;
    for (int round = 0; round < 1000; ++round) {
        const Z a = operands.next(kWidth - 1);
        const Z b = operands.next(round % 4 == 0 ? kWidth - 1 : 700);
        Z sum;
        mpz_add(sum.get(), a.get(), b.get());
        Z difference;
        mpz_sub(difference.get(), a.get(), b.get());
        const BigInt x = toBig(a);
        const BigInt y = toBig(b);
        const Outcome added = run([&] { return x + y; });
        const Outcome subtracted = run([&] { return x - y; });
        if (fits(sum)) {
            expectValue(added, sum, describe("sum", a, b));
        } else {
            EXPECT_EQ(added.reason, "Overflow") << describe("sum", a, b);
        }
        if (fits(difference)) {
            expectValue(subtracted, difference, describe("difference", a, b));
        } else {
            EXPECT_EQ(subtracted.reason, "Overflow") << describe("difference", a, b);
        }
    }
}

TEST(BigIntGmpTest, MultiplicationDivisionAndRemainder) {
    Operands operands;
    for (int round = 0; round < 1000; ++round) {
        const Z a = operands.next(round % 5 == 0 ? kWidth - 1 : 1400);
        const Z b = operands.next(round % 3 == 0 ? 40 : 1200);
        Z product;
        mpz_mul(product.get(), a.get(), b.get());
        const BigInt x = toBig(a);
        const BigInt y = toBig(b);
        const Outcome multiplied = run([&] { return x * y; });
        Z magnitude;
        mpz_abs(magnitude.get(), product.get());
        if (fits(product)) {
            expectValue(multiplied, product, describe("product", a, b));
        } else if (mpz_sizeinbase(magnitude.get(), 2) > static_cast<std::size_t>(kWidth)) {
            EXPECT_EQ(multiplied.reason, "Multiplication overflow.") << describe("product", a, b);
        } else {
            EXPECT_EQ(multiplied.reason, "overflow.") << describe("product", a, b);
        }

        if (mpz_sgn(b.get()) == 0) continue;
        Z quotient;
        Z remainder;
        mpz_tdiv_qr(quotient.get(), remainder.get(), a.get(), b.get());
        expectValue(run([&] { return x / y; }), quotient, describe("quotient", a, b));
        expectValue(run([&] { return x % y; }), remainder, describe("remainder", a, b));
    }
}

TEST(BigIntGmpTest, DivisionByEveryDivisorShape) {
    // Divisors whose top word is all ones or a single bit stress the quotient-digit
    // estimate and its add-back step.
    Operands operands;
    for (int round = 0; round < 400; ++round) {
        const Z a = operands.next(kWidth - 1, false);
        Z b;
        const unsigned long words = 1 + operands.below(40);
        if (round % 2 == 0) {
            mpz_ui_pow_ui(b.get(), 2, 32 * words);
            mpz_sub_ui(b.get(), b.get(), 1 + operands.below(5));
        } else {
            mpz_ui_pow_ui(b.get(), 2, 32 * words - 1);
            mpz_add_ui(b.get(), b.get(), operands.below(3));
        }
        Z quotient;
        Z remainder;
        mpz_tdiv_qr(quotient.get(), remainder.get(), a.get(), b.get());
        expectValue(run([&] { return toBig(a) / toBig(b); }), quotient, describe("quotient", a, b));
        expectValue(run([&] { return toBig(a) % toBig(b); }), remainder, describe("remainder", a, b));
    }
}

TEST(BigIntGmpTest, ShiftsAndBitOperations) {
    Operands operands;
    for (int round = 0; round < 800; ++round) {
        const Z a = operands.next(kWidth - 1);
        const Z b = operands.next(kWidth - 1);
        const int shift = static_cast<int>(operands.below(round % 10 == 0 ? 3000 : 300));
        const BigInt x = toBig(a);
        const BigInt y = toBig(b);
        Z left;
        mpz_mul_2exp(left.get(), a.get(), static_cast<mp_bitcnt_t>(shift));
        expectValue(run([&] { return x << shift; }), wrapped(left), describe("left shift", a, Z(shift)));
        Z right;
        mpz_fdiv_q_2exp(right.get(), a.get(), static_cast<mp_bitcnt_t>(shift));
        expectValue(run([&] { return x >> shift; }), right, describe("right shift", a, Z(shift)));

        Z result;
        mpz_and(result.get(), a.get(), b.get());
        expectValue(run([&] { return x & y; }), result, describe("and", a, b));
        mpz_ior(result.get(), a.get(), b.get());
        expectValue(run([&] { return x | y; }), result, describe("or", a, b));
        mpz_xor(result.get(), a.get(), b.get());
        expectValue(run([&] { return x ^ y; }), result, describe("xor", a, b));
        mpz_com(result.get(), a.get());
        expectValue(run([&] { return ~x; }), result, describe("not", a, b));

        EXPECT_EQ(x < y, mpz_cmp(a.get(), b.get()) < 0);
        EXPECT_EQ(x > y, mpz_cmp(a.get(), b.get()) > 0);
        EXPECT_EQ(x <= x, true);
    }
}

TEST(BigIntGmpTest, ModPowGcdSqrtAndJacobi) {
    Operands operands;
    for (int round = 0; round < 300; ++round) {
        const Z base = operands.next(round % 4 == 0 ? 2000 : 600);
        const Z exponent = operands.next(round % 10 == 0 ? 1000 : 200, false);
        Z modulus = operands.next(32 * BigInt::maxModulusWords);
        if (mpz_sgn(modulus.get()) == 0) mpz_set_ui(modulus.get(), 7);

        // The residue of |base|, negated for a negative base and an odd exponent.
        Z absBase;
        mpz_abs(absBase.get(), base.get());
        Z absModulus;
        mpz_abs(absModulus.get(), modulus.get());
        Z expected;
        mpz_powm(expected.get(), absBase.get(), exponent.get(), absModulus.get());
        if (mpz_sgn(base.get()) < 0 && mpz_odd_p(exponent.get())) mpz_neg(expected.get(), expected.get());
        expectValue(run([&] { return toBig(base).modPow(toBig(exponent), toBig(modulus)); }), expected,
                    describe("modPow", base, modulus));

        Z other = operands.next(900);
        Z divisor;
        mpz_gcd(divisor.get(), base.get(), other.get());
        expectValue(run([&] { return toBig(base).gcd(toBig(other)); }), divisor,
                    describe("gcd", base, other));

        Z root;
        mpz_sqrt(root.get(), absBase.get());
        expectValue(run([&] { return toBig(absBase).sqrt(); }), root, describe("sqrt", absBase, absBase));

        Z odd = operands.next(800, false);
        mpz_setbit(odd.get(), 0);
        EXPECT_EQ(BigInt::jacobi(toBig(base), toBig(odd)), mpz_jacobi(base.get(), odd.get()))
            << describe("jacobi", base, odd);
    }
}

TEST(BigIntGmpTest, PrimalityAnswers) {
    Operands operands;
    std::mt19937 engine(7);
    const Random32 random = [&engine] { return static_cast<std::uint32_t>(engine()); };
    std::vector<Z> candidates;
    for (int round = 0; round < 80; ++round) {
        Z n = operands.next(round % 8 == 0 ? 512 : 120, false);
        mpz_setbit(n.get(), 0);
        candidates.push_back(n);
        // Primes, and products of two primes, which trial division cannot catch.
        Z prime;
        mpz_nextprime(prime.get(), n.get());
        candidates.push_back(prime);
        Z second = operands.next(200, false);
        mpz_nextprime(second.get(), second.get());
        Z product;
        mpz_mul(product.get(), prime.get(), second.get());
        if (mpz_sizeinbase(product.get(), 2) <= 32 * BigInt::maxModulusWords - 1)
            candidates.push_back(product);
        Z square;
        mpz_mul(square.get(), second.get(), second.get());
        candidates.push_back(square);
    }
    for (const Z& n : candidates) {
        const bool expected = mpz_probab_prime_p(n.get(), 30) != 0;
        const BigInt value = toBig(n);
        EXPECT_EQ(value.isProbablePrime(), expected) << upperText(n, 10);
        EXPECT_EQ(value.isProbablePrimeWithConfidence(8, random), expected) << upperText(n, 10);
        EXPECT_EQ((-value).isProbablePrime(), expected) << "-" << upperText(n, 10);
    }
}

}  // namespace
}  // namespace dnscodec
