#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "app/support/Base64.hpp"

namespace kiv {
namespace {

TEST(Base64, RFC4648TestVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [in, out] : vectors) EXPECT_EQ(base64Encode(std::string_view(in)), out);
}

TEST(Base64, MatchesOpenSSLForEveryLengthAndByte) {
    std::mt19937 rng(7);
    for (std::size_t n = 0; n <= 300; ++n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i)
            bytes[i] = n < 256 ? static_cast<std::uint8_t>(i ^ n) : rng() & 0xFF;
        std::string expected(4 * ((n + 2) / 3) + 1, '\0');
        const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), bytes.data(),
                                            static_cast<int>(n));
        expected.resize(static_cast<std::size_t>(written));
        EXPECT_EQ(base64Encode(bytes), expected) << n;
    }
}

}  // namespace
}  // namespace kiv
