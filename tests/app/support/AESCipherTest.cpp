// The block cipher and CBC layer against the published known answers (FIPS-197
// appendices B and C, SP 800-38A F.2) and against OpenSSL's EVP as an oracle.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/support/AESCipher.hpp"

namespace kiv {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

AESCipher::Block block(std::string_view text) {
    const Bytes bytes = hex(text);
    AESCipher::Block out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

struct KnownAnswer {
    const char* name;
    const char* key;
    const char* plaintext;
    const char* ciphertext;
    int rounds;
};

class AESKnownAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(AESKnownAnswer, BlockFunctionMatchesFIPS197) {
    const KnownAnswer& v = GetParam();
    const AESCipher cipher(hex(v.key), {});
    EXPECT_EQ(cipher.rounds(), v.rounds);
    EXPECT_EQ(cipher.encryptBlock(block(v.plaintext)), block(v.ciphertext));
}

INSTANTIATE_TEST_SUITE_P(
    FIPS197, AESKnownAnswer,
    testing::Values(
        // Appendix B: the cipher example.
        KnownAnswer{"B", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
                    "3925841d02dc09fbdc118597196a0b32", 10},
        // Appendix C.1-C.3: one example per key size.
        KnownAnswer{"C1", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
                    "69c4e0d86a7b0430d8cdb78070b4c55a", 10},
        KnownAnswer{"C2", "000102030405060708090a0b0c0d0e0f1011121314151617",
                    "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191", 12},
        KnownAnswer{"C3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
                    "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089", 14}),
    [](const auto& info) { return std::string(info.param.name); });

// SP 800-38A F.2.1 and F.2.5: four blocks chained; our layer always pads, so a fifth
// block (the encrypted padding) follows the published ones.
TEST(AESCipherCBC, MatchesSP80038AAndAppendsOnePaddingBlock) {
    const std::string plaintext =
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    struct Case {
        const char* key;
        const char* ciphertext;
    } cases[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c",
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    for (const Case& c : cases) {
        const AESCipher cipher(hex(c.key), iv);
        const Bytes out = cipher.encrypt(hex(plaintext));
        ASSERT_EQ(out.size(), 80u);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 64), hex(c.ciphertext)) << c.key;
        // The fifth block is E(16 x 0x10 XOR last ciphertext block).
        AESCipher::Block pad;
        for (std::size_t i = 0; i < 16; ++i) pad[i] = static_cast<std::uint8_t>(0x10 ^ out[48 + i]);
        const AESCipher::Block expected = cipher.encryptBlock(pad);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 64)) << c.key;
    }
}

TEST(AESCipherCBC, EmptyIVRaisesMissingInitializationVector) {
    const AESCipher cipher(Bytes(32, 1), {});
    try {
        (void)cipher.encrypt(hex("00"));
        FAIL() << "no error raised";
    } catch (const CBCBlockMode::Error& e) {
        EXPECT_EQ(e.code(), CBCBlockMode::BlockError::MissingInitializationVector);
    }
}

TEST(AESCipherCBC, RefusesBadKeyAndIVLengths) {
    for (std::size_t size : {0, 1, 15, 17, 23, 25, 31, 33, 64}) {
        EXPECT_THROW(AESCipher(Bytes(size, 7), Bytes(16, 0)), std::invalid_argument) << size;
    }
    for (std::size_t size : {1, 15, 17, 32}) {
        EXPECT_THROW(AESCipher(Bytes(32, 7), Bytes(size, 0)), std::invalid_argument) << size;
    }
}

struct EvpFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

Bytes opensslEncrypt(const EVP_CIPHER* type, const Bytes& key, const Bytes& iv, const Bytes& plaintext) {
    std::unique_ptr<EVP_CIPHER_CTX, EvpFree> ctx(EVP_CIPHER_CTX_new());
    Bytes out(plaintext.size() + 16);
    int written = 0, tail = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), type, nullptr, key.data(), iv.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &written, plaintext.data(),
                                static_cast<int>(plaintext.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + written, &tail), 1);
    out.resize(static_cast<std::size_t>(written + tail));
    return out;
}

// Every length from 0 to 130 bytes (all padding amounts, several blocks) and a few
// long ones, with random keys, IVs and texts, for each key size.
TEST(AESCipherCBC, SweepOfLengthsMatchesOpenSSL) {
    std::mt19937 rng(20240611);
    auto randomBytes = [&](std::size_t n) {
        Bytes out(n);
        for (auto& b : out) b = static_cast<std::uint8_t>(rng());
        return out;
    };
    const std::pair<std::size_t, const EVP_CIPHER*> variants[] = {
        {16, EVP_aes_128_cbc()}, {24, EVP_aes_192_cbc()}, {32, EVP_aes_256_cbc()}};
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 130; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {1023, 1024, 1025, 65536 + 7});
    for (const auto& [keySize, type] : variants) {
        for (std::size_t n : lengths) {
            const Bytes key = randomBytes(keySize), iv = randomBytes(16), text = randomBytes(n);
            const Bytes ours = AESCipher(key, iv).encrypt(text);
            EXPECT_EQ(ours.size(), 16 * (n / 16 + 1));
            EXPECT_EQ(ours, opensslEncrypt(type, key, iv, text)) << "key " << keySize << " length " << n;
        }
    }
}

}  // namespace
}  // namespace kiv
