#include "app/support/AESTextCipher.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "app/support/AESCipher.hpp"
#include "platform/Base64.hpp"

namespace kiv {
namespace {

constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

void secureRandomBytes(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        const ssize_t got = getrandom(out, size, 0);
        if (got < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            throw std::system_error(error, std::generic_category(), "getrandom");
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string AESTextCipher::randomAlphanumeric(std::size_t count) {
    // 62 x 4 = 248: bytes from 248 up are drawn again so that every letter is
    // equally likely.
    constexpr std::uint8_t limit = 248;
    std::string out;
    out.reserve(count);
    std::array<std::uint8_t, 64> pool{};
    std::size_t used = pool.size();
    while (out.size() < count) {
        if (used == pool.size()) {
            secureRandomBytes(pool.data(), pool.size());
            used = 0;
        }
        const std::uint8_t byte = pool[used++];
        if (byte < limit) out += kAlphabet[byte % kAlphabet.size()];
    }
    return out;
}

std::optional<std::string> AESTextCipher::encrypt(std::string_view text, std::string_view key) {
    if (text.empty() || key.size() != 32) return std::nullopt;
    try {
        const std::string iv = randomAlphanumeric(16);
        const AESCipher cipher(bytesOf(key), bytesOf(iv));
        const std::vector<std::uint8_t> ciphertext = cipher.encrypt(bytesOf(text));
        return iv + platform::base64Encode(ciphertext);
    } catch (const std::exception&) {
        std::fputs("an error occured while encrypting\n", stdout);
        std::fflush(stdout);
        return std::nullopt;
    }
}

}  // namespace kiv
