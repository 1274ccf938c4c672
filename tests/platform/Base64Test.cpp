#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/Base64.hpp"

namespace platform {
namespace {

TEST(Base64, RFC4648TestVectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(base64Encode(std::string_view(bytes)), text);
        const auto decoded = base64Decode(text);
        ASSERT_TRUE(decoded.has_value()) << text;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), bytes);
    }
}

TEST(Base64, DecodingTakesOnlyCanonicalPaddedText) {
    for (const char* text :
         {"Zm9=", "Zg=", "Z===", "====", "Zm9v\n", "=m9v", "Zg==Zg==", "Zh==", "Zm9vYg=", "Zm 9"}) {
        EXPECT_FALSE(base64Decode(text).has_value()) << text;
    }
}

TEST(Base64, MatchesOpenSSLForEveryLengthAndByteAndDecodesBack) {
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
        EXPECT_EQ(base64Decode(expected), std::optional(bytes)) << n;
    }
}

}  // namespace
}  // namespace platform
