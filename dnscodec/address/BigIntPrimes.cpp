// Modular exponentiation with Barrett reduction, random numbers and the probabilistic
// primality tests of BigInt.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <optional>

#include "dnscodec/address/BigInt.hpp"
#include "dnscodec/address/BigIntWords.hpp"
#include "dnscodec/address/NamedException.hpp"

namespace dnscodec {

using namespace bigint_detail;

namespace {

constexpr int kPrimeCount = 303;

constexpr std::array<std::uint16_t, kPrimeCount> makePrimesBelow2000() {
    std::array<bool, 2000> composite{};
    std::array<std::uint16_t, kPrimeCount> primes{};
    std::size_t count = 0;
    for (std::size_t i = 2; i < composite.size(); ++i) {
        if (composite[i]) continue;
        primes.at(count++) = static_cast<std::uint16_t>(i);
        for (std::size_t j = i * i; j < composite.size(); j += i) composite[j] = true;
    }
    return primes;
}

constexpr auto kPrimesBelow2000 = makePrimesBelow2000();
static_assert(kPrimesBelow2000.back() == 1999);

// A value in (0, 0.43]: the random source scaled as the random bits formula wants it.
double unitRandom(const Random32& random) { return (static_cast<double>(random()) + 1.0) / 10000000000.0; }

// False when a prime below 2000 that is smaller than n divides n.
bool passesTrialDivision(const BigInt& n) {
    for (const std::uint16_t prime : kPrimesBelow2000) {
        const BigInt divisor(prime);
        if (divisor >= n) break;
        if ((n % divisor).intValue() == 0) return false;
    }
    return true;
}

int lowestSetBit(const BigInt& value) {
    int zeros = 0;
    for (int i = 0; i < value.dataLength(); ++i) {
        const std::uint32_t word = value.getDataAtIndex(i);
        if (word != 0) return zeros + std::countr_zero(word);
        zeros += 32;
    }
    return zeros;
}

bool isOneWord(const BigInt& value, std::uint32_t word) {
    return value.dataLength() == 1 && value.getDataAtIndex(0) == word;
}

// Small values and even numbers: 0 and 1 are not prime, 2 and 3 are, even numbers
// are composite. Empty when the number needs a real test.
std::optional<bool> smallOrEven(const BigInt& n) {
    if (n.dataLength() == 1) {
        const std::uint32_t word = n.getDataAtIndex(0);
        if (word == 0 || word == 1) return false;
        if (word == 2 || word == 3) return true;
    }
    if ((n.getDataAtIndex(0) & 1u) == 0) return false;
    return std::nullopt;
}

// The strong probable-prime test of odd n > 3 to base a.
bool strongProbablePrime(const BigInt& n, const BigInt& base) {
    const BigInt nMinusOne = n - BigInt(1);
    const int s = lowestSetBit(nMinusOne);
    const BigInt t = nMinusOne >> s;
    BigInt b = base.modPow(t, n);
    if (isOneWord(b, 1)) return true;
    for (int j = 0; j < s; ++j) {
        if (b == nMinusOne) return true;
        b = (b * b) % n;
    }
    return false;
}

}  // namespace

BigInt BigInt::barrettConstant(const BigInt& n) {
    const int k = n.dataLength_;
    if (k > maxModulusWords) throwArithmetic("Modulus too large.");
    BigInt constant;
    constant.data_.at(2 * k) = 1;
    constant.dataLength_ = 2 * k + 1;
    return constant / n;
}

BigInt BigInt::modPow(const BigInt& exponent, const BigInt& modulus) const {
    if (exponent.isNegative()) throwArithmetic("Positive exponents only.");
    if (allZero(modulus.data_)) throwArithmetic("Division by zero.");
    const bool thisNegative = isNegative();
    const BigInt n = modulus.abs();
    const BigInt constant = barrettConstant(n);
    BigInt base = abs() % n;
    // Starting at 1 mod n (not 1) makes anything mod 1 come out 0.
    BigInt result = BigInt(1) % n;

    const int totalBits = exponent.bitCount();
    int count = 0;
    auto finish = [&](const BigInt& value) {
        const bool oddExponent = (exponent.data_.at(0) & 1u) != 0;
        return thisNegative && oddExponent ? value.negate() : value;
    };
    for (int pos = 0; pos < exponent.dataLength_; ++pos) {
        std::uint32_t mask = 1;
        for (int index = 0; index < 32; ++index) {
            if ((exponent.data_.at(pos) & mask) != 0) result = barrettReduction(result * base, n, constant);
            mask <<= 1;
            base = barrettReduction(base * base, n, constant);
            // Once the base is 1 every later factor is 1.
            if (base.isOne()) return finish(result);
            if (++count == totalBits) break;
        }
    }
    return finish(result);
}

BigInt BigInt::barrettReduction(const BigInt& x, const BigInt& n, const BigInt& constant) {
    const int k = n.dataLength_;
    if (x.isNegative() || n.isNegative() || n.isZero() || constant.isNegative() || k > maxModulusWords ||
        x.dataLength_ > 2 * k) {
        return x % n;
    }
    const int kPlusOne = k + 1;
    const int kMinusOne = k - 1;

    // q1 = x / b^(k-1)
    BigInt q1;
    for (int i = kMinusOne, j = 0; i < x.dataLength_; ++i, ++j) q1.data_.at(j) = x.data_.at(i);
    q1.dataLength_ = std::max(1, x.dataLength_ - kMinusOne);
    q1.normalise();

    // q3 = q1 * constant / b^(k+1)
    const BigInt q2 = q1 * constant;
    BigInt q3;
    for (int i = kPlusOne, j = 0; i < q2.dataLength_; ++i, ++j) q3.data_.at(j) = q2.data_.at(i);
    q3.dataLength_ = std::max(1, q2.dataLength_ - kPlusOne);
    q3.normalise();

    // r1 = x mod b^(k+1)
    BigInt r1;
    const int lengthToCopy = std::min(x.dataLength_, kPlusOne);
    for (int i = 0; i < lengthToCopy; ++i) r1.data_.at(i) = x.data_.at(i);
    r1.dataLength_ = std::max(lengthToCopy, 1);
    r1.normalise();

    // r2 = (q3 * n) mod b^(k+1), a partial product.
    BigInt r2;
    for (int i = 0; i < q3.dataLength_; ++i) {
        if (q3.data_.at(i) == 0) continue;
        std::uint64_t carry = 0;
        int t = i;
        for (int j = 0; j < n.dataLength_ && t < kPlusOne; ++j, ++t) {
            const std::uint64_t value =
                std::uint64_t{q3.data_.at(i)} * n.data_.at(j) + r2.data_.at(t) + carry;
            r2.data_.at(t) = static_cast<std::uint32_t>(value);
            carry = value >> 32;
        }
        if (t < kPlusOne) r2.data_.at(t) = static_cast<std::uint32_t>(carry);
    }
    r2.dataLength_ = kPlusOne;
    r2.normalise();

    r1 = r1 - r2;
    if (r1.isNegative()) {
        BigInt wrap;
        wrap.data_.at(kPlusOne) = 1;
        wrap.dataLength_ = kPlusOne + 1;
        r1 = r1 + wrap;
    }
    // With a true constant at most two subtractions remain; a wrong constant must not
    // turn into a long loop.
    for (int i = 0; i < 2 && r1 >= n; ++i) r1 = r1 - n;
    if (r1 >= n) r1 = r1 % n;
    return r1;
}

void BigInt::getRandomBits(int bits, const Random32& random) {
    if (bits <= 0) {
        *this = BigInt();
        return;
    }
    int words = bits >> 5;
    const int remainingBits = bits & 0x1F;
    if (remainingBits != 0) ++words;
    if (words > maxLength) throwArithmetic("Number of required bits > maxLength.");
    for (int i = 0; i < words; ++i) {
        data_.at(i) = static_cast<std::uint32_t>(unitRandom(random) * 4294967296.0);
    }
    for (int i = words; i < maxLength; ++i) data_.at(i) = 0;
    if (remainingBits != 0) {
        data_.at(words - 1) |= 1u << (remainingBits - 1);
        data_.at(words - 1) &= 0xFFFFFFFFu >> (32 - remainingBits);
    } else {
        data_.at(words - 1) |= kSignBit;
    }
    dataLength_ = words;
}

bool BigInt::isProbablePrimeWithConfidence(int confidence, const Random32& random) const {
    const BigInt n = abs();
    if (!passesTrialDivision(n)) return false;
    return n.rabinMillerTestWithConfidence(confidence, random);
}

bool BigInt::rabinMillerTestWithConfidence(int confidence, const Random32& random) const {
    const BigInt n = abs();
    if (auto known = smallOrEven(n)) return *known;
    const int bits = n.bitCount();
    BigInt base;
    for (int round = 0; round < confidence; ++round) {
        // At least 2 bits; below 5 significant bits the scaled draw never reaches 2, so
        // the floor keeps small numbers from drawing forever. A base of 2 bits or more
        // is never 1.
        const int testBits = std::max(2, static_cast<int>(unitRandom(random) * bits));
        base.getRandomBits(testBits, random);
        const BigInt common = base.gcd(n);
        if (common.dataLength_ == 1 && common.data_.at(0) != 1) return false;
        if (!strongProbablePrime(n, base)) return false;
    }
    return true;
}

bool BigInt::isProbablePrime() const {
    const BigInt n = abs();
    if (auto known = smallOrEven(n)) return *known;
    if (!passesTrialDivision(n)) return false;
    if (!strongProbablePrime(n, BigInt(2))) return false;
    return lucasStrongTest(n);
}

BigInt BigInt::generatePseudoPrimeWithBits(int bits, int confidence, const Random32& random) {
    // One bit can only make 1, which is never prime.
    if (bits < 2) throw NamedException("ArgumentException", "Bit count must be at least 2.");
    BigInt candidate;
    do {
        candidate.getRandomBits(bits, random);
        candidate.data_.at(0) |= 1u;
    } while (!candidate.isProbablePrimeWithConfidence(confidence, random));
    return candidate;
}

bool BigInt::lucasStrongTest(const BigInt& number) {
    const BigInt n = number.abs();
    if (auto known = smallOrEven(n)) return *known;
    const BigInt constant = barrettConstant(n);

    // Selfridge: the first D of 5, -7, 9, -11, ... with Jacobi symbol (D/n) = -1.
    std::int64_t d = 5;
    std::int64_t sign = -1;
    for (int dCount = 0;; ++dCount) {
        const int symbol = jacobi(BigInt(d), n);
        if (symbol == -1) break;
        if (symbol == 0 && BigInt(std::llabs(d)) < n) return false;
        // A perfect square has no such D at all.
        if (dCount == 20) {
            const BigInt root = n.sqrt();
            if (root * root == n) return false;
        }
        d = (std::llabs(d) + 2) * sign;
        sign = -sign;
    }
    const std::int64_t q = (1 - d) >> 2;

    const BigInt nPlusOne = n + BigInt(1);
    const int s = lowestSetBit(nPlusOne);
    const BigInt t = nPlusOne >> s;
    std::array<BigInt, 3> lucas = lucasSequence(BigInt(1), BigInt(q), t, n, constant, 0);

    bool isPrime = lucas[0].isZero() || lucas[1].isZero();
    for (int i = 1; i < s; ++i) {
        if (!isPrime) {
            // V at twice the index: V^2 - 2 Q^k.
            lucas[1] = barrettReduction(lucas[1] * lucas[1], n, constant);
            lucas[1] = (lucas[1] - (lucas[2] << 1)) % n;
            if (lucas[1].isZero()) isPrime = true;
        }
        lucas[2] = barrettReduction(lucas[2] * lucas[2], n, constant);
    }

    if (isPrime) {
        // For prime n with gcd(n, Q) = 1: Q^((n+1)/2) = Q * (Q/n) (mod n).
        const BigInt qValue(q);
        if (isOneWord(n.gcd(qValue), 1)) {
            BigInt power = lucas[2];
            if (power.isNegative()) power = power + n;
            BigInt expected = (qValue * BigInt(jacobi(qValue, n))) % n;
            if (expected.isNegative()) expected = expected + n;
            if (!(power == expected)) isPrime = false;
        }
    }
    return isPrime;
}

std::array<BigInt, 3> BigInt::lucasSequence(const BigInt& P, const BigInt& Q, const BigInt& k,
                                            const BigInt& n, const BigInt& constant, int s) {
    if ((k.data_.at(0) & 1u) == 0) throw NamedException("ArgumentException", "Argument k must be odd.");
    const int numBits = k.bitCount();
    const int topBit = numBits & 0x1F;
    std::uint32_t mask = topBit == 0 ? kSignBit : 1u << (topBit - 1);

    // v = V_0, v1 = V_1, u1 = U_1, qk = Q^0
    BigInt v = BigInt(2) % n;
    BigInt qk = BigInt(1) % n;
    BigInt v1 = P % n;
    BigInt u1 = qk;
    bool first = true;

    for (int i = k.dataLength_ - 1; i >= 0; --i) {
        for (; mask != 0; mask >>= 1) {
            if (i == 0 && mask == 1) break;  // the last bit is handled below
            if ((k.data_.at(i) & mask) != 0) {
                // Index doubling with addition.
                u1 = (u1 * v1) % n;
                v = ((v * v1) - (P * qk)) % n;
                v1 = barrettReduction(v1 * v1, n, constant);
                v1 = (v1 - ((qk * Q) << 1)) % n;
                if (first) {
                    first = false;
                } else {
                    qk = barrettReduction(qk * qk, n, constant);
                }
                qk = (qk * Q) % n;
            } else {
                // Index doubling.
                u1 = ((u1 * v) - qk) % n;
                v1 = ((v * v1) - (P * qk)) % n;
                v = barrettReduction(v * v, n, constant);
                v = (v - (qk << 1)) % n;
                if (first) {
                    qk = Q % n;
                    first = false;
                } else {
                    qk = barrettReduction(qk * qk, n, constant);
                }
            }
        }
        mask = kSignBit;
    }

    // The last bit of k is always 1: move u1 to U(2m+1) and v to V(2m+1).
    u1 = ((u1 * v) - qk) % n;
    v = ((v * v1) - (P * qk)) % n;
    if (first) {
        first = false;
    } else {
        qk = barrettReduction(qk * qk, n, constant);
    }
    qk = (qk * Q) % n;

    for (int i = 0; i < s; ++i) {
        u1 = (u1 * v) % n;
        v = ((v * v) - (qk << 1)) % n;
        if (first) {
            qk = Q % n;
            first = false;
        } else {
            qk = barrettReduction(qk * qk, n, constant);
        }
    }
    return {u1, v, qk};
}

int BigInt::jacobi(const BigInt& aIn, const BigInt& bIn) {
    if ((bIn.data_.at(0) & 1u) == 0) {
        throw NamedException("ArgumentException", "Jacobi defined only for odd integers.");
    }
    // The reciprocity steps run as a loop, carrying the sign picked up so far.
    // (a/1) is 1 for every a.
    if (bIn.isOne()) return 1;
    BigInt a = aIn;
    BigInt b = bIn;
    int sign = 1;
    for (;;) {
        if (a >= b) a = a % b;
        if (a.isZero()) return 0;
        if (a.isOne()) return sign;
        if (a.isNegative()) {
            if (((b - BigInt(1)).data_.at(0) & 0x2u) != 0) sign = -sign;
            a = a.negate();
            continue;
        }
        const int e = lowestSetBit(a);
        const BigInt a1 = a >> e;
        int s = 1;
        const std::uint32_t b8 = b.data_.at(0) & 0x7u;
        if ((e & 1) != 0 && (b8 == 3 || b8 == 5)) s = -1;
        if ((b.data_.at(0) & 0x3u) == 3 && (a1.data_.at(0) & 0x3u) == 3) s = -s;
        if (a1.isOne()) return sign * s;
        sign *= s;
        const BigInt next = b % a1;
        b = a1;
        a = next;
    }
}

}  // namespace dnscodec
