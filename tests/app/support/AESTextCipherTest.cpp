// The string layer: result shape, refusals, and the `openssl enc` command line
// decrypting what it produces.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "HexText.hpp"
#include "app/support/AESTextCipher.hpp"

namespace kiv {
namespace {

using testing_support::hexOf;

namespace fs = std::filesystem;

const std::string kKey = "0123456789abcdefghijklmnopqrstuv";  // 32 ASCII bytes

bool isAlphanumeric(std::string_view text) {
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kiv-aes-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs `openssl enc -d` on the Base64 part with the key bytes and the IV text's
// bytes; answers what it printed, or absent when it failed.
std::optional<std::string> opensslDecrypt(const std::string& encrypted, const std::string& key) {
    TempDir dir;
    const fs::path in = dir.path() / "in.b64", out = dir.path() / "out.bin";
    std::ofstream(in) << encrypted.substr(16) << "\n";
    const std::string command = "openssl enc -d -aes-256-cbc -base64 -A -K " + hexOf(key) + " -iv " +
                                hexOf(encrypted.substr(0, 16)) + " -in " + in.string() + " -out " +
                                out.string() + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) return std::nullopt;
    std::ifstream file(out, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(AESTextCipher, OpenSSLCommandLineDecryptsTheResult) {
    const std::string texts[] = {
        "x",
        "exactly sixteen!",
        "{\"device\":{\"os\":\"OSX\"},\"entries\":[]}",
        "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x92\x9a with UTF-8",
        std::string(1000, 'z') + "\n\ttail",
    };
    for (const std::string& text : texts) {
        const auto encrypted = AESTextCipher::encrypt(text, kKey);
        ASSERT_TRUE(encrypted.has_value());
        EXPECT_EQ(opensslDecrypt(*encrypted, kKey), text);
    }
}

TEST(AESTextCipher, ResultLengthIsIVPlusBase64OfWholeBlocks) {
    for (std::size_t n : {1, 2, 15, 16, 17, 31, 32, 33, 100}) {
        const auto encrypted = AESTextCipher::encrypt(std::string(n, 'a'), kKey);
        ASSERT_TRUE(encrypted.has_value());
        const std::size_t cipherBytes = 16 * (n / 16 + 1);
        EXPECT_EQ(encrypted->size(), 16 + 4 * ((cipherBytes + 2) / 3)) << n;
        EXPECT_TRUE(isAlphanumeric(encrypted->substr(0, 16)));
    }
    EXPECT_EQ(AESTextCipher::encrypt("a", kKey)->size(), 40u);
    EXPECT_EQ(AESTextCipher::encrypt("sixteen bytes!!!", kKey)->size(), 60u);
}

TEST(AESTextCipher, SameTextTwiceGivesDifferentResults) {
    EXPECT_NE(AESTextCipher::encrypt("hello", kKey), AESTextCipher::encrypt("hello", kKey));
}

TEST(AESTextCipher, RefusesSilently) {
    const std::string thirtyThreeBytes = "\xc3\xa9" + std::string(31, 'k');  // 32 characters, 33 bytes
    const std::pair<std::string, std::string> cases[] = {
        {"text", std::string(31, 'k')}, {"text", std::string(33, 'k')}, {"text", ""}, {"", kKey},
        {"text", thirtyThreeBytes},
    };
    for (const auto& [text, key] : cases) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(AESTextCipher::encrypt(text, key).has_value()) << key.size();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    // A non-ASCII key of exactly 32 bytes is taken.
    const std::string multiByte = "\xc3\xa9" + std::string(30, 'k');
    const auto encrypted = AESTextCipher::encrypt("text", multiByte);
    ASSERT_TRUE(encrypted.has_value());
    EXPECT_EQ(opensslDecrypt(*encrypted, multiByte), "text");
}

TEST(AESTextCipher, RandomAlphanumericIsUniformOverTheAlphabet) {
    EXPECT_EQ(AESTextCipher::randomAlphanumeric(0), "");
    // 620,000 draws: 10,000 expected per character, standard deviation about 99. A
    // modulo bias (256 = 4 x 62 + 8) would give the first eight about 12,100.
    const std::string draws = AESTextCipher::randomAlphanumeric(620000);
    ASSERT_EQ(draws.size(), 620000u);
    ASSERT_TRUE(isAlphanumeric(draws));
    std::map<char, int> counts;
    for (char c : draws) ++counts[c];
    EXPECT_EQ(counts.size(), 62u);
    for (const auto& [c, count] : counts) {
        EXPECT_GT(count, 9500) << c;
        EXPECT_LT(count, 10500) << c;
    }
}

}  // namespace
}  // namespace kiv
