#pragma once
// Encrypts a text for the log-shipping destination: AES-256-CBC with PKCS#7 padding
// under a random 16-character alphanumeric IV, returned as the IV text followed by
// the Base64 ciphertext. Stateless; any thread.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

class AESTextCipher {
public:
    // Absent for an empty text or a key whose UTF-8 form is not exactly 32 bytes
    // (silently), and when the cipher fails (after printing "an error occured while
    // encrypting" on standard output). Never raises.
    static std::optional<std::string> encrypt(std::string_view text, std::string_view key);

    // `count` characters drawn uniformly and independently from [a-zA-Z0-9] with the
    // system's secure random generator. Raises std::system_error when that generator
    // is unavailable.
    static std::string randomAlphanumeric(std::size_t count);
};

}  // namespace kiv
