#include "app/support/AESCipher.hpp"

#include <string.h>

#include <stdexcept>

namespace kiv {
namespace {

// GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1 (FIPS-197 4.2), at compile time.
constexpr std::uint8_t xtime(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if (b & 1) product ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

constexpr std::uint8_t rotl8(std::uint8_t b, int n) {
    return static_cast<std::uint8_t>((b << n) | (b >> (8 - n)));
}

// S-box (FIPS-197 5.1.1): multiplicative inverse followed by the affine map.
constexpr std::array<std::uint8_t, 256> makeSBox() {
    std::array<std::uint8_t, 256> box{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t inverse = 0;
        for (int y = 1; y < 256 && x != 0; ++y) {
            if (gmul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
                inverse = static_cast<std::uint8_t>(y);
                break;
            }
        }
        box[x] = static_cast<std::uint8_t>(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^
                                           rotl8(inverse, 3) ^ rotl8(inverse, 4) ^ 0x63);
    }
    return box;
}

constexpr std::array<std::uint8_t, 256> sBox = makeSBox();
static_assert(sBox[0x00] == 0x63 && sBox[0x53] == 0xED && sBox[0xFF] == 0x16, "FIPS-197 Figure 7");

constexpr std::uint32_t rotr32(std::uint32_t w, int n) { return (w >> n) | (w << (32 - n)); }

// T-tables: SubBytes, ShiftRows and MixColumns of one state byte as a column word;
// T1..T3 are T0 rotated by one, two and three bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 4> makeTTables() {
    std::array<std::array<std::uint32_t, 256>, 4> t{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = sBox[x];
        const std::uint32_t word = (std::uint32_t{gmul(s, 2)} << 24) | (std::uint32_t{s} << 16) |
                                   (std::uint32_t{s} << 8) | std::uint32_t{gmul(s, 3)};
        t[0][x] = word;
        t[1][x] = rotr32(word, 8);
        t[2][x] = rotr32(word, 16);
        t[3][x] = rotr32(word, 24);
    }
    return t;
}

constexpr auto T = makeTTables();
constexpr std::array<std::uint8_t, 10> Rcon{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};

constexpr std::uint32_t subWord(std::uint32_t w) {
    return (std::uint32_t{sBox[w >> 24]} << 24) | (std::uint32_t{sBox[(w >> 16) & 0xFF]} << 16) |
           (std::uint32_t{sBox[(w >> 8) & 0xFF]} << 8) | std::uint32_t{sBox[w & 0xFF]};
}

std::uint32_t loadBE(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void storeBE(std::uint32_t w, std::uint8_t* p) {
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
}

}  // namespace

AESCipher::AESCipher(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv)
    : key_(key.begin(), key.end()), iv_(iv.begin(), iv.end()) {
    if (key.size() != 16 && key.size() != 24 && key.size() != 32) {
        throw std::invalid_argument("AES key must be 16, 24 or 32 bytes");
    }
    if (!iv.empty() && iv.size() != CBCBlockMode::blockSize) {
        throw std::invalid_argument("AES-CBC initialization vector must be 16 bytes");
    }
    // Key expansion, FIPS-197 5.2.
    const std::size_t nk = key.size() / 4;
    rounds_ = static_cast<int>(nk) + 6;
    const std::size_t words = 4 * (static_cast<std::size_t>(rounds_) + 1);
    for (std::size_t i = 0; i < nk; ++i) expandedKey_[i] = loadBE(key.data() + 4 * i);
    for (std::size_t i = nk; i < words; ++i) {
        std::uint32_t temp = expandedKey_[i - 1];
        if (i % nk == 0) {
            temp = subWord(rotr32(temp, 24)) ^ (std::uint32_t{Rcon[i / nk - 1]} << 24);
        } else if (nk > 6 && i % nk == 4) {
            temp = subWord(temp);
        }
        expandedKey_[i] = expandedKey_[i - nk] ^ temp;
    }
}

AESCipher::~AESCipher() {
    explicit_bzero(expandedKey_.data(), sizeof expandedKey_);
    if (!key_.empty()) explicit_bzero(key_.data(), key_.size());
}

AESCipher::Block AESCipher::encryptBlock(const Block& in) const {
    const std::uint32_t* rk = expandedKey_.data();
    std::uint32_t s0 = loadBE(in.data()) ^ rk[0];
    std::uint32_t s1 = loadBE(in.data() + 4) ^ rk[1];
    std::uint32_t s2 = loadBE(in.data() + 8) ^ rk[2];
    std::uint32_t s3 = loadBE(in.data() + 12) ^ rk[3];
    for (int round = 1; round < rounds_; ++round) {
        rk += 4;
        const std::uint32_t t0 =
            T[0][s0 >> 24] ^ T[1][(s1 >> 16) & 0xFF] ^ T[2][(s2 >> 8) & 0xFF] ^ T[3][s3 & 0xFF] ^ rk[0];
        const std::uint32_t t1 =
            T[0][s1 >> 24] ^ T[1][(s2 >> 16) & 0xFF] ^ T[2][(s3 >> 8) & 0xFF] ^ T[3][s0 & 0xFF] ^ rk[1];
        const std::uint32_t t2 =
            T[0][s2 >> 24] ^ T[1][(s3 >> 16) & 0xFF] ^ T[2][(s0 >> 8) & 0xFF] ^ T[3][s1 & 0xFF] ^ rk[2];
        const std::uint32_t t3 =
            T[0][s3 >> 24] ^ T[1][(s0 >> 16) & 0xFF] ^ T[2][(s1 >> 8) & 0xFF] ^ T[3][s2 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    // Last round: SubBytes and ShiftRows without MixColumns.
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t k) {
        return ((std::uint32_t{sBox[a >> 24]} << 24) | (std::uint32_t{sBox[(b >> 16) & 0xFF]} << 16) |
                (std::uint32_t{sBox[(c >> 8) & 0xFF]} << 8) | std::uint32_t{sBox[d & 0xFF]}) ^
               k;
    };
    Block out;
    storeBE(last(s0, s1, s2, s3, rk[0]), out.data());
    storeBE(last(s1, s2, s3, s0, rk[1]), out.data() + 4);
    storeBE(last(s2, s3, s0, s1, rk[2]), out.data() + 8);
    storeBE(last(s3, s0, s1, s2, rk[3]), out.data() + 12);
    return out;
}

std::vector<std::uint8_t> AESCipher::encrypt(std::span<const std::uint8_t> plaintext) const {
    // PKCS#7: n bytes of value n, 1 <= n <= 16.
    const std::size_t pad = CBCBlockMode::blockSize - plaintext.size() % CBCBlockMode::blockSize;
    std::vector<std::uint8_t> padded(plaintext.begin(), plaintext.end());
    padded.insert(padded.end(), pad, static_cast<std::uint8_t>(pad));
    std::vector<std::uint8_t> out =
        blockMode_.encrypt(padded, iv_, [this](const Block& block) { return encryptBlock(block); });
    explicit_bzero(padded.data(), padded.size());
    return out;
}

}  // namespace kiv
