#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "ExpectNamed.hpp"
#include "dnscodec/address/BigInt.hpp"

namespace dnscodec {
namespace {

BigInt big(const char* text, int radix = 10) { return BigInt(text, radix); }

// The largest positive and the most negative value of the 2,240-bit width.
BigInt mostNegative() { return BigInt(1) << 2239; }
BigInt maxPositive() { return ~mostNegative(); }

// A random source that replays fixed values, for repeatable random numbers.
Random32 replaying(std::vector<std::uint32_t> values) {
    auto index = std::make_shared<std::size_t>(0);
    return [values = std::move(values), index]() { return values[(*index)++ % values.size()]; };
}

TEST(BigIntTest, RadixTextRoundTrips) {
    struct Case {
        const char* text;
        int radix;
        const char* expected16;
        const char* expected10;
    };
    const std::array<Case, 7> cases{{
        {"ff", 16, "FF", "255"},
        {"FF", 16, "FF", "255"},
        {"0", 10, "0", "0"},
        {"-10", 10, "-A", "-10"},
        {"-0", 10, "0", "0"},
        {"101", 2, "5", "5"},
        {"zz", 36, "50F", "1295"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const BigInt value(c.text, c.radix);
        EXPECT_EQ(value.toStringWithRadix(16), c.expected16);
        EXPECT_EQ(value.toStringWithRadix(10), c.expected10);
    }
}

TEST(BigIntTest, NegativeValuesAreSignExtended) {
    const BigInt minusTen = big("-10");
    EXPECT_EQ(minusTen.dataLength(), 70);
    EXPECT_EQ(minusTen.getDataAtIndex(69), 0xFFFFFFFFu);
    EXPECT_EQ(BigInt(-10), minusTen);
    EXPECT_EQ(BigInt().dataLength(), 1);
    EXPECT_EQ(BigInt(0).dataLength(), 1);
}

TEST(BigIntTest, IntValueIsTheLowWord) {
    EXPECT_EQ(((BigInt(1) << 32) + BigInt(5)).intValue(), 5);
    EXPECT_EQ(BigInt::createFromULong(0xFFFFFFFFFFFFFFFFull).toStringWithRadix(16), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(BigInt::createFromUIntArray(std::array<std::uint32_t, 3>{0, 1, 2}).toStringWithRadix(16),
              "100000002");
}

TEST(BigIntTest, DivisionTruncatesTowardZero) {
    struct Case {
        std::int64_t a, b, quotient, remainder;
    };
    const std::array<Case, 6> cases{{
        {7, -2, -3, 1},
        {-7, 3, -2, -1},
        {-7, -3, 2, -1},
        {7, 3, 2, 1},
        {2, 5, 0, 2},
        {-2, 5, 0, -2},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + " / " + std::to_string(c.b));
        EXPECT_EQ(BigInt(c.a) / BigInt(c.b), BigInt(c.quotient));
        EXPECT_EQ(BigInt(c.a) % BigInt(c.b), BigInt(c.remainder));
    }
}

TEST(BigIntTest, ModPowWorkedExample) {
    EXPECT_EQ(BigInt(4).modPow(BigInt(13), BigInt(497)), BigInt(445));
    // A negative base with an odd exponent gives the negated residue.
    EXPECT_EQ(BigInt(-4).modPow(BigInt(13), BigInt(497)), BigInt(-445));
    EXPECT_EQ(BigInt(-4).modPow(BigInt(2), BigInt(497)), BigInt(16));
    // Anything mod 1 is 0, x^0 mod n is 1.
    EXPECT_EQ(BigInt(7).modPow(BigInt(0), BigInt(1)), BigInt(0));
    EXPECT_EQ(BigInt(7).modPow(BigInt(0), BigInt(5)), BigInt(1));
}

// A seeded source, so that the Rabin-Miller rounds draw the same bases on every run.
Random32 seeded(std::uint32_t seed) {
    auto state = std::make_shared<std::uint32_t>(seed);
    return [state] { return *state = *state * 1664525u + 1013904223u; };
}

TEST(BigIntTest, BailliePswAnswers) {
    for (const char* prime :
         {"2", "3", "5", "7", "1999", "2147483647", "170141183460469231731687303715884105727"}) {
        SCOPED_TRACE(prime);
        EXPECT_TRUE(big(prime).isProbablePrime());
        EXPECT_TRUE(big(prime).isProbablePrimeWithConfidence(10, seeded(7)));
    }
    // 0, 1, an even number, Carmichael numbers, strong pseudoprimes to base 2, a
    // square of a prime (the Lucas test's square check) and a product of two primes.
    std::vector<BigInt> composites;
    for (const char* text :
         {"0", "1", "4", "561", "1373653", "2047", "3215031751", "25326001", "1194649", "12327121"}) {
        composites.push_back(big(text));
    }
    composites.push_back(big("2147483647") * big("2305843009213693951"));
    for (const BigInt& composite : composites) {
        SCOPED_TRACE(composite.toStringWithRadix(10));
        EXPECT_FALSE(composite.isProbablePrime());
        EXPECT_FALSE(composite.isProbablePrimeWithConfidence(10, seeded(7)));
    }
}

// The Rabin-Miller bases are at most 0.43 x bitCount bits long (a 32-bit draw over
// 10^10), so a small n meets only small bases, and 25326001 is a strong pseudoprime
// to most of them: 2 to 6 among the table's. Only Baillie-PSW settles it every time.
TEST(BigIntTest, RabinMillerBasesAreSmallForSmallNumbers) {
    const BigInt n = big("25326001");
    struct Case {
        std::uint32_t bitsDraw;  // 0: 2 bits; 1,200,000,000: 3 bits (of n's 25)
        std::uint32_t baseDraw;  // the base's one word, scaled like every draw
        int base;
        bool accepted;
    };
    const Case cases[] = {
        {0, 0, 2, true},
        {0, 65536, 3, true},
        {1'200'000'000u, 0, 4, true},
        {1'200'000'000u, 327680, 5, true},
        {1'200'000'000u, 196608, 6, true},
        {1'200'000'000u, 65536, 7, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        EXPECT_EQ(n.rabinMillerTestWithConfidence(4, replaying({c.bitsDraw, c.baseDraw})), c.accepted);
    }
}

TEST(BigIntTest, FailuresRaiseNamedExceptions) {
    struct Case {
        const char* label;
        std::function<void()> action;
        const char* name;
        const char* reason;
    };
    const std::vector<Case> cases{
        {"digit above radix", [] { big("12", 2); }, "ArithmeticException", "Invalid string in constructor."},
        {"space", [] { big("1 2"); }, "ArithmeticException", "Invalid string in constructor."},
        {"empty text", [] { big(""); }, "ArithmeticException", "Invalid string in constructor."},
        {"bare minus", [] { big("-"); }, "ArithmeticException", "Invalid string in constructor."},
        {"radix 37", [] { BigInt(5).toStringWithRadix(37); }, "ArgumentException",
         "Radix must be >= 2 and <= 36"},
        {"radix 1", [] { BigInt(5).toStringWithRadix(1); }, "ArgumentException",
         "Radix must be >= 2 and <= 36"},
        {"divide by zero", [] { BigInt(5) / BigInt(0); }, "ArithmeticException", "Division by zero."},
        {"zero by zero", [] { BigInt(0) / BigInt(0); }, "ArithmeticException", "Division by zero."},
        {"mod by zero", [] { BigInt(5) % BigInt(); }, "ArithmeticException", "Division by zero."},
        {"modPow mod zero", [] { BigInt(5).modPow(BigInt(2), BigInt(0)); }, "ArithmeticException",
         "Division by zero."},
        {"negative exponent", [] { BigInt(5).modPow(BigInt(-1), BigInt(7)); }, "ArithmeticException",
         "Positive exponents only."},
        {"modulus of 35 words", [] { BigInt(5).modPow(BigInt(3), BigInt(1) << (34 * 32)); },
         "ArithmeticException", "Modulus too large."},
        {"addition overflow", [] { maxPositive() + BigInt(1); }, "ArithmeticException", "Overflow"},
        {"subtraction overflow", [] { mostNegative() - BigInt(1); }, "ArithmeticException", "Overflow"},
        {"product past the width", [] { (BigInt(1) << 1200) * (BigInt(1) << 1100); }, "ArithmeticException",
         "Multiplication overflow."},
        {"product into the sign bit", [] { (BigInt(1) << 1200) * (BigInt(1) << 1039); },
         "ArithmeticException", "overflow."},
        {"negating the most negative", [] { mostNegative().negate(); }, "ArithmeticException",
         "Overflow in negation."},
        {"positive text too large", [] { BigInt("8" + std::string(559, '0'), 16); }, "ArithmeticException",
         "overflow."},
        {"negative text too small", [] { BigInt("-8" + std::string(558, '0') + "1", 16); },
         "ArithmeticException", "Overflow"},
        {"too many words", [] { BigInt::createFromUIntArray(std::vector<std::uint32_t>(71, 1)); },
         "ArithmaticException", "Byte overflow in constructor"},
        {"too many random bits", [] { BigInt().getRandomBits(2241); }, "ArithmeticException",
         "Number of required bits > maxLength."},
        {"even Jacobi", [] { BigInt::jacobi(BigInt(3), BigInt(10)); }, "ArgumentException",
         "Jacobi defined only for odd integers."},
        {"even Lucas k",
         [] { BigInt::lucasSequence(BigInt(1), BigInt(2), BigInt(4), BigInt(7), BigInt(1), 0); },
         "ArgumentException", "Argument k must be odd."},
        {"one-bit prime", [] { BigInt::generatePseudoPrimeWithBits(1, 5); }, "ArgumentException",
         "Bit count must be at least 2."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_TRUE(throwsNamed(c.action, c.name, c.reason));
    }
}

TEST(BigIntTest, MostNegativeValueEdges) {
    const BigInt min = mostNegative();
    EXPECT_EQ(min.dataLength(), 70);
    EXPECT_EQ(min.getDataAtIndex(69), 0x80000000u);
    // Its text is still right, though it has no positive counterpart.
    EXPECT_EQ(min.toStringWithRadix(16), "-8" + std::string(559, '0'));
    EXPECT_EQ(BigInt(min.toStringWithRadix(16), 16), min);
    // The one product that lands on it is allowed.
    EXPECT_EQ((BigInt(1) << 1200) * -(BigInt(1) << 1039), min);
    EXPECT_EQ(min * BigInt(1), min);
    EXPECT_EQ(min.bitCount(), 2240);
    EXPECT_EQ(min >> 2239, BigInt(-1));
    EXPECT_EQ(min >> 5000, BigInt(-1));
    EXPECT_EQ(min << 1, BigInt(0));
    EXPECT_EQ((min << 1).dataLength(), 1);
}

TEST(BigIntTest, WidestModulusStillWorks) {
    // 34 words is the widest modulus the Barrett constant fits for.
    const BigInt modulus = (BigInt(1) << (34 * 32 - 1)) + BigInt(12345);
    const BigInt base = (BigInt(1) << 1000) + BigInt(3);
    const BigInt viaModPow = base.modPow(BigInt(5), modulus);
    const BigInt square = (base * base) % modulus;
    const BigInt expected = (((square * square) % modulus) * base) % modulus;
    EXPECT_EQ(viaModPow, expected);
}

TEST(BigIntTest, SquareRootNeverOverflows) {
    const BigInt root = maxPositive().sqrt();
    EXPECT_LE(root * root, maxPositive());
    EXPECT_EQ(BigInt(0).sqrt(), BigInt(0));
    EXPECT_EQ(BigInt(-9).sqrt(), BigInt(0));
    EXPECT_EQ(BigInt(15).sqrt(), BigInt(3));
    EXPECT_EQ(BigInt(16).sqrt(), BigInt(4));
}

TEST(BigIntTest, RandomBitsFollowTheScaledFormula) {
    BigInt value;
    // r = 4294967295 gives ((r + 1) / 10^10) * 2^32 = 1844674407.37...
    value.getRandomBits(64, replaying({0xFFFFFFFFu}));
    EXPECT_EQ(value.getDataAtIndex(0), 1844674407u);
    EXPECT_EQ(value.getDataAtIndex(1), 1844674407u | 0x80000000u);
    EXPECT_EQ(value.dataLength(), 2);
    value.getRandomBits(5, replaying({0}));
    EXPECT_EQ(value, BigInt(16));  // top bit set, the rest from r = 0
    value.getRandomBits(0, replaying({7}));
    EXPECT_EQ(value, BigInt(0));
    value.getRandomBits(2240, replaying({0}));
    EXPECT_EQ(value.bitCount(), 2240);
}

TEST(BigIntTest, SmallPrimesDoNotLoopInRabinMiller) {
    // Below 5 significant bits the scaled draw can never reach two bits.
    for (int n : {5, 7, 11, 13})
        EXPECT_TRUE(BigInt(n).rabinMillerTestWithConfidence(8, replaying({1, 2, 3})));
    for (int n : {9, 15}) EXPECT_FALSE(BigInt(n).rabinMillerTestWithConfidence(8, replaying({1, 2, 3})));
}

TEST(BigIntTest, GeneratesPseudoPrimesOfTheRequestedSize) {
    std::uint32_t state = 12345;
    const Random32 random = [&state] { return state = state * 1664525u + 1013904223u; };
    for (int bits : {2, 3, 16, 64, 200}) {
        SCOPED_TRACE(bits);
        const BigInt prime = BigInt::generatePseudoPrimeWithBits(bits, 10, random);
        EXPECT_EQ(prime.bitCount(), bits);
        EXPECT_TRUE(prime.isProbablePrime());
    }
}

TEST(BigIntTest, ShiftsAndRawAccessStayInBounds) {
    std::array<std::uint32_t, 3> words{0x80000001u, 0, 0};
    EXPECT_EQ(BigInt::shiftLeft(std::span<std::uint32_t>(words), 33), 3);
    EXPECT_EQ(words, (std::array<std::uint32_t, 3>{0, 2, 1}));
    EXPECT_EQ(BigInt::shiftRight(std::span<std::uint32_t>(words), 1000), 1);
    EXPECT_EQ(BigInt(5) << -3, BigInt(5));
    EXPECT_EQ(BigInt(5) << 100000, BigInt(0));
    BigInt value;
    EXPECT_THROW(value.setData(1, 70), std::out_of_range);
    EXPECT_THROW(value.setData(1, -1), std::out_of_range);
    EXPECT_THROW(value.getDataAtIndex(70), std::out_of_range);
    EXPECT_THROW(value.setDataLength(0), std::out_of_range);
    EXPECT_THROW(value.setDataLength(71), std::out_of_range);
}

TEST(BigIntTest, BarrettFallsBackOutsideItsPreconditions) {
    const BigInt n(1000003);
    // A wrong constant or an over-wide x never loops or reads out of range.
    EXPECT_EQ(BigInt::barrettReduction(BigInt(5000000), n, BigInt(1)), BigInt(5000000) % n);
    EXPECT_EQ(BigInt::barrettReduction(BigInt(1) << 500, n, BigInt(7)), (BigInt(1) << 500) % n);
    EXPECT_EQ(BigInt::barrettReduction(BigInt(-17), n, BigInt(7)), BigInt(-17));
}

}  // namespace
}  // namespace dnscodec
